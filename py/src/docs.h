// The document texts Python shows for the classes and their methods. A
// leading signature line ending in "--" and an empty line becomes the
// callable's __text_signature__; no text ends with a line break.
#pragma once

namespace orvex::py::docs {

inline constexpr const char* kIndex =
    "Index(metric, dimension)\n--\n\n"
    "In-memory brute-force vector index.\n"
    "\n"
    "This index stores all vectors in memory and performs exhaustive search\n"
    "for exact nearest neighbors.";

inline constexpr const char* kIndexInsert =
    "insert($self, id, vector)\n--\n\n"
    "Insert a vector into the index.\n"
    "\n"
    "Args:\n"
    "    id (int): Unique identifier for the vector.\n"
    "    vector (list[float]): The vector data.";

inline constexpr const char* kIndexSearch =
    "search($self, query, k)\n--\n\n"
    "Search for nearest neighbors.\n"
    "\n"
    "Args:\n"
    "    query (list[float]): The query vector.\n"
    "    k (int): Number of neighbors to return.\n"
    "\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples.";

// Shared word for word by Index and Collection.
inline constexpr const char* kInsertBatch =
    "insert_batch($self, ids, vectors)\n--\n\n"
    "Insert multiple vectors at once.\n"
    "\n"
    "Args:\n"
    "    ids (list[int]): List of unique identifiers.\n"
    "    vectors (list[list[float]]): List of vectors.";

inline constexpr const char* kSearchBatch =
    "search_batch($self, queries, k)\n--\n\n"
    "Search for nearest neighbors for multiple queries.\n"
    "\n"
    "Args:\n"
    "    queries (list[list[float]]): List of query vectors.\n"
    "    k (int): Number of neighbors per query.\n"
    "\n"
    "Returns:\n"
    "    list[list[tuple[int, float]]]: Results for each query.";

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

inline constexpr const char* kCollectionInsert =
    "insert($self, id, vector)\n--\n\n"
    "Insert a vector into the collection.\n"
    "\n"
    "Args:\n"
    "    id (int): Unique identifier.\n"
    "    vector (list[float]): Vector data.";

inline constexpr const char* kCollectionSearch =
    "search($self, query, k)\n--\n\n"
    "Search for nearest neighbors.\n"
    "\n"
    "Args:\n"
    "    query (list[float]): Query vector.\n"
    "    k (int): Number of results.\n"
    "\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples.";

inline constexpr const char* kCollectionFlush =
    "flush($self)\n--\n\n"
    "Flush all pending writes to disk (checkpoint).\n"
    "\n"
    "This ensures all data is durable and truncates the WAL.";

}  // namespace orvex::py::docs
