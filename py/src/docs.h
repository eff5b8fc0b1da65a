// The document texts Python shows for the classes and their methods. A
// leading signature line ending in "--" and an empty line becomes the
// callable's __text_signature__; no text ends with a line break.
#pragma once

// Paragraphs shared by several documents (string literals, so that they
// join the texts at compile time).
#define ORVEX_DOC_PAYLOAD                                                            \
  "\n\nKeyword Args:\n"                                                               \
  "    payload (dict | None): Data stored with the vector: a dict with str keys\n"    \
  "        whose values are None, bool, int, finite float, str, or lists, tuples\n"  \
  "        and dicts of these."
#define ORVEX_DOC_WHERE                                                                \
  "\n\nKeyword Args:\n"                                                                 \
  "    where (dict | None): Only vectors whose payload matches, e.g.\n"                 \
  "        {\"color\": \"red\"} or {\"price\": {\"$lt\": 10}}; operators $eq $ne\n"          \
  "        $gt $gte $lt $lte $in $nin $contains $exists, combinators $and $or\n"      \
  "        $not; several keys must all match.\n"                                       \
  "    with_payload (bool): Return (id, distance, payload) triples."

namespace orvex::py::docs {

inline constexpr const char* kIndex =
    "Index(metric, dimension)\n--\n\n"
    "In-memory brute-force vector index.\n"
    "\n"
    "This index stores all vectors in memory and performs exhaustive search\n"
    "for exact nearest neighbors.";

inline constexpr const char* kIndexInsert =
    "insert($self, id, vector, *, payload=None)\n--\n\n"
    "Insert a vector into the index.\n"
    "\n"
    "Args:\n"
    "    id (int): Unique identifier for the vector.\n"
    "    vector (list[float]): The vector data."
    ORVEX_DOC_PAYLOAD;

inline constexpr const char* kIndexSearch =
    "search($self, query, k, *, where=None, with_payload=False)\n--\n\n"
    "Search for nearest neighbors.\n"
    "\n"
    "Args:\n"
    "    query (list[float]): The query vector.\n"
    "    k (int): Number of neighbors to return.\n"
    "\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples."
    ORVEX_DOC_WHERE;

// The arguments of insert_batch, shared by Index and Collection.
#define ORVEX_INSERT_BATCH_ARGS                                 \
  "Args:\n"                                                     \
  "    ids (list[int]): List of unique identifiers.\n"          \
  "    vectors (list[list[float]]): List of vectors.\n"         \
  "\n"                                                          \
  "Keyword Args:\n"                                             \
  "    payloads (list[dict | None] | None): One payload (or None) per id."

inline constexpr const char* kInsertBatch =
    "insert_batch($self, ids, vectors, *, payloads=None)\n--\n\n"
    "Insert multiple vectors at once.\n"
    "\n" ORVEX_INSERT_BATCH_ARGS;

inline constexpr const char* kCollectionInsertBatch =
    "insert_batch($self, ids, vectors, *, payloads=None, threads=None)\n--\n\n"
    "Insert multiple vectors at once.\n"
    "\n"
    "A batch is one write to the log, forced once at its end; a large one goes\n"
    "straight to the data file between two flushes, durable when the call returns.\n"
    "The first item that fails stops it: the items before it stay.\n"
    "\n" ORVEX_INSERT_BATCH_ARGS
    "\n"
    "    threads (int | None): Cores that encode the log (None or 0: every core\n"
    "        for a large batch).";
#undef ORVEX_INSERT_BATCH_ARGS

inline constexpr const char* kSearchBatch =
    "search_batch($self, queries, k, *, where=None, with_payload=False, as_numpy=False, threads=1)\n--\n\n"
    "Search for nearest neighbors for multiple queries.\n"
    "\n"
    "Args:\n"
    "    queries (list[list[float]]): List of query vectors.\n"
    "    k (int): Number of neighbors per query.\n"
    "\n"
    "Returns:\n"
    "    list[list[tuple[int, float]]]: Results for each query."
    ORVEX_DOC_WHERE "\n"
    "    as_numpy (bool): Return (ids, distances, counts): uint64 and float32\n"
    "        arrays of shape (len(queries), min(k, len(self))), rows padded with\n"
    "        id 2**64 - 1 and distance inf, and the int64 count of each row.\n"
    "    threads (int): Threads that share the scan (0: every core this process\n"
    "        may use); the results are the same for every value.";

inline constexpr const char* kCollection =
    "Persistent vector collection backed by disk storage.\n"
    "\n"
    "Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection\n"
    "for durability. Supports crash recovery.";

inline constexpr const char* kCollectionOpenOrCreate =
    "open_or_create(path, dimension, metric)\n--\n\n"
    "Open an existing collection or create a new one.\n"
    "\n"
    "Args:\n"
    "    path (str): File system path for the collection.\n"
    "    dimension (int): Dimension of the vectors (must match existing).\n"
    "    metric (str): Distance metric (\"cosine\", \"euclidean\", \"dot\").";

inline constexpr const char* kCollectionOpenReadOnly =
    "open_read_only(path)\n--\n\n"
    "Open an existing collection for searching beside its writer.\n"
    "\n"
    "Any number of readers, in this process or others, may have a collection\n"
    "open beside at most one writer (open_or_create). A reader holds a\n"
    "snapshot: the writer's changes up to some instant, in the writer's order;\n"
    "refresh() moves it on. It never creates, cuts, repairs or writes a file\n"
    "and takes no lock; every changing call raises OSError \"collection is\n"
    "read-only\". Dimension and metric come from the collection's meta.json.\n"
    "\n"
    "Args:\n"
    "    path (str): The collection's directory.\n"
    "\n"
    "Raises:\n"
    "    OSError: No collection at path, or a damaged one (the message names\n"
    "        the path and the cause).";

inline constexpr const char* kCollectionRefresh =
    "refresh()\n--\n\n"
    "Move a reader's snapshot to the writer's latest state on disk.\n"
    "\n"
    "Searches running meanwhile in other threads see the old snapshot or the\n"
    "new one, never a mix. A writer always holds its latest state: 0.\n"
    "\n"
    "Returns:\n"
    "    int: The number of changes applied (after the writer compacted, the\n"
    "        number of vectors, read again).";

inline constexpr const char* kCollectionVerify =
    "verify(path)\n--\n\n"
    "Read every byte of the collection at path and change nothing.\n"
    "\n"
    "Args:\n"
    "    path (str): The collection's directory (not open elsewhere).\n"
    "\n"
    "Returns:\n"
    "    dict: \"ok\" and, per file (\"wal.log\", \"data.ovx\", \"data.ovx.sum\",\n"
    "    \"meta.json\"), whether it is whole, the offset and kind of the first\n"
    "    damage, the frames or records before it and any torn tail.";

inline constexpr const char* kCollectionRepair =
    "repair(path, *, dimension=None, metric=None)\n--\n\n"
    "Point-in-time repair: keep what precedes the first damage, set the rest aside.\n"
    "\n"
    "The log keeps its whole frames before the first damaged one; the rest goes\n"
    "to wal.log.damaged-<offset>. Damaged records of the data file, and records\n"
    "written for frames set aside, go to data.ovx.damaged-<offset>. A damaged\n"
    "meta.json is rebuilt. Nothing is deleted; running it again is safe.\n"
    "\n"
    "Args:\n"
    "    path (str): The collection's directory (not open elsewhere).\n"
    "\n"
    "Keyword Args:\n"
    "    dimension (int | None): For rebuilding meta.json when no record tells it.\n"
    "    metric (str | None): For rebuilding meta.json when it cannot be read.\n"
    "\n"
    "Returns:\n"
    "    dict: Per file, what was kept and what was set aside (and where), and\n"
    "    \"ok\": whether verify finds the result whole.";

inline constexpr const char* kCollectionInsert =
    "insert($self, id, vector, *, payload=None)\n--\n\n"
    "Insert a vector into the collection.\n"
    "\n"
    "Args:\n"
    "    id (int): Unique identifier.\n"
    "    vector (list[float]): Vector data."
    ORVEX_DOC_PAYLOAD;

inline constexpr const char* kCollectionSearch =
    "search($self, query, k, *, where=None, with_payload=False)\n--\n\n"
    "Search for nearest neighbors.\n"
    "\n"
    "Args:\n"
    "    query (list[float]): Query vector.\n"
    "    k (int): Number of results.\n"
    "\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples."
    ORVEX_DOC_WHERE;

inline constexpr const char* kCollectionFlush =
    "flush($self)\n--\n\n"
    "Flush all pending writes to disk (checkpoint).\n"
    "\n"
    "This ensures all data is durable and truncates the WAL.";

inline constexpr const char* kDelete =
    "delete($self, id)\n--\n\n"
    "Delete a vector.\n"
    "\n"
    "Returns:\n"
    "    bool: True if the id was held; False (and nothing written) otherwise.";

inline constexpr const char* kDeleteBatch =
    "delete_batch($self, ids)\n--\n\n"
    "Delete several vectors.\n"
    "\n"
    "Returns:\n"
    "    int: How many of the ids were held.";

inline constexpr const char* kGet =
    "get($self, id)\n--\n\n"
    "Read a stored vector back.\n"
    "\n"
    "Returns:\n"
    "    tuple[list[float], dict] | None: The vector and its payload, or None.";

inline constexpr const char* kIds =
    "ids($self)\n--\n\n"
    "The held ids, ascending.";

inline constexpr const char* kCreateIndex =
    "create_index($self, key)\n--\n\n"
    "Index the top-level payload key `key`: equality, in-list and numeric range\n"
    "filters on it then read only the entries they select.\n"
    "\n"
    "The index maps each scalar value of the key (null, booleans, numbers,\n"
    "strings; 1 and 1.0 are different values) to its entries, about 4 bytes an\n"
    "entry holding the key, and is kept up to date by every change; entries\n"
    "holding an array or an object there are matched as without an index. An\n"
    "index already held is kept. A Collection records the key and rebuilds\n"
    "the index when opened. Raises ValueError beyond 32 indexed keys.";

inline constexpr const char* kDropIndex =
    "drop_index($self, key)\n--\n\n"
    "Drop the index of `key`; False when there was none.";

inline constexpr const char* kIndexes =
    "indexes($self)\n--\n\n"
    "The indexed payload keys, ascending.";

inline constexpr const char* kCollectionSync =
    "sync($self)\n--\n\n"
    "Force the write-ahead log to stable storage.\n"
    "\n"
    "Every insertion and deletion acknowledged so far becomes durable, without\n"
    "a checkpoint.";

inline constexpr const char* kCollectionCompact =
    "compact($self)\n--\n\n"
    "Flush, then rewrite the data file with only the live records.\n"
    "\n"
    "Returns:\n"
    "    int: The bytes reclaimed.";

inline constexpr const char* kCollectionStats =
    "stats($self)\n--\n\n"
    "Counts and sizes: vectors, dead_records, data_bytes, log_bytes,\n"
    "indexes (the bytes each payload index holds, by key) and read_only. A\n"
    "reader counts no dead records and gives the bytes it has read.";

inline constexpr const char* kCollectionClose =
    "close($self)\n--\n\n"
    "Flush, then release the files and the directory.\n"
    "\n"
    "Any later call raises ValueError; a second close does nothing. If the\n"
    "flush fails, its error is raised and the collection stays open.";

}  // namespace orvex::py::docs
