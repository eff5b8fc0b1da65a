// Collection: a persistent vector collection kept in a directory.
//
//   meta.json  settings and counters as of the last save (replaced atomically)
//   wal.log    write-ahead log of the changes since the last flush
//   data.ovx   append-only records of every stored vector
//   data.ovx.sum  checksums of data.ovx as of the last flush
//   indexes.json  the payload keys indexed (create_index), a JSON array of
//                 strings, replaced atomically by create_index / drop_index
//
// A change (an insertion or a deletion) is logged first, then its record is
// appended to the data file (a deletion's record is marked deleted at the
// next flush), then it is applied to the in-memory index. flush() is the
// checkpoint: the data file reaches stable storage, the log is emptied and
// meta.json rewritten. Opening rebuilds the index from the data file's live
// records (the newest record of an id wins) and replays the log. A large
// insert_batch takes the bulk path instead: its records go straight to the
// data file, each chunk behind a forced log entry that names its checksum,
// between two flushes (see storage/engine.h).
//
// Durability: a change is on stable storage once the log has been synced
// after it (per the SyncMode, or by sync()), once flush() has succeeded, or
// once the insert_batch that made it has returned (in Batch and Always mode,
// or by the bulk path). A crash at any
// instant leaves a directory that opens with a prefix of the insertions that
// holds every durable one. Once forcing the data file has failed, every
// later flush() reports that failure and the log is never emptied again by
// this object; searches and insertions keep working, and reopening the
// directory rebuilds everything from the data file and the log.
//
// Errors: insertions refuse a vector whose length is not the dimension with
// DimensionMismatch before anything is written; other errors come unchanged
// from the log, the data file or the index. Opening errors are
// CollectionError ("create dir failed: ...", "read meta failed: ...",
// "parse meta failed: ...", "dimension mismatch: collection has A, config has
// B") or the storage's own. Nothing is rolled back after a failure: an
// insertion whose waiting records then fail to reach the data file reports
// that error, yet stays logged and applied.
//
// One writer per directory: open_or_create takes an advisory lock on the
// directory, held until the Collection is destroyed; another open_or_create,
// in this process or another, fails with CollectionError "collection is in
// use: ...". Readers (open_read_only) exclude nobody.
//
// Thread-safety: a Collection may be shared between threads. Changes
// (insertions, deletions, the apply operations, flush, compact, save_meta,
// create_index, drop_index)
// are serialised;
// searches run side by side with each other and hold off changes only while
// they scan; a waiting change keeps new searches out until it has passed, so
// searches cannot starve changes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "distance.h"
#include "error.h"
#include "filter.h"
#include "index/brute_force.h"
#include "payload.h"

namespace orvex {

namespace fs {
class FileSystem;
}

// When the log forces its writes to stable storage. Always: after every
// entry; Batch: once 100 entries are unsynced; Manual (and any other value):
// only at flush().
enum class SyncMode : uint8_t { Always = 0, Batch = 1, Manual = 2 };

struct CollectionConfig {
  uint64_t dimension = 0;
  DistanceMetric metric = DistanceMetric::Euclidean;
  SyncMode sync_mode = SyncMode::Batch;
  // A batch whose records take at least this many bytes goes straight to
  // data.ovx in chunks of bulk_chunk_bytes instead of through the log (see
  // insert_batch); 0: never.
  uint64_t bulk_bytes = uint64_t{8} << 20;
  uint64_t bulk_chunk_bytes = uint64_t{16} << 20;
};

class Collection {
 public:
  // Opens the collection in directory `path`, creating it (and its missing
  // parents) when needed. `fs` defaults to the real file system and must
  // outlive the collection.
  static Result<std::unique_ptr<Collection>> open_or_create(const std::string& path,
                                                            const CollectionConfig& config,
                                                            fs::FileSystem* fs = nullptr);

  // Reads every byte of the collection in directory `path` and changes
  // nothing (the directory is locked meanwhile: an open collection is
  // refused). The report, a JSON object, has "ok" and one object per file:
  //   "wal.log"      bytes, frames (whole and sound), whole, damage (text or
  //                  null), damage_offset, torn_tail (bytes after the last
  //                  whole frame: an interrupted write; a cut exactly at a
  //                  frame boundary cannot be seen)
  //   "data.ovx"     bytes, records, deleted, dimension, whole, damage,
  //                  damage_offset, torn_tail, checksums ("current",
  //                  "stale", "missing", "damaged"), covered (bytes the
  //                  checksums vouch for), damaged_blocks, revived,
  //                  unexplained_marks, described_by_log, differ_from_log,
  //                  not_in_log (records after the covered part whose id the
  //                  log does not mention: frames it lost)
  //   "data.ovx.sum" present, state, problem
  //   "meta.json"    bytes, whole, damage, dimension, metric
  static Result<Json> verify(const std::string& path, fs::FileSystem* fs = nullptr);

  // Point-in-time repair of the collection in `path` (locked meanwhile):
  //   - the log keeps its whole frames up to the first damaged one (or its
  //     torn tail); the rest is moved to wal.log.damaged-<offset>;
  //   - data.ovx: live records in blocks whose checksums differ, and records
  //     after the checked part that the kept log contradicts or (when frames
  //     are set aside) does not describe, are copied to
  //     data.ovx.damaged-<offset> and marked deleted (the log's entries for
  //     their ids restore them at the next open); delete markers changed by
  //     damage are put back; bytes after the last whole record are moved to
  //     data.ovx.damaged-<offset> and cut; the checksums are rewritten;
  //   - a damaged meta.json is rebuilt: the dimension from the records or
  //     `dimension`, the metric from `metric` or the old file.
  // Nothing is deleted. Each step is safe to interrupt: running repair again
  // finishes the work. The report has, per file, what was kept and set
  // aside (and where), and "ok": whether verify finds the result whole.
  static Result<Json> repair(const std::string& path, std::optional<uint64_t> dimension = std::nullopt,
                             std::optional<DistanceMetric> metric = std::nullopt, fs::FileSystem* fs = nullptr);

  // Opens the collection in `path` for searching beside any number of
  // other readers and at most one writer (an open_or_create), in this
  // process or others; the dimension and metric come from its meta.json.
  // Nothing in the directory is created, cut, repaired, renamed or written,
  // and no lock is taken: the writer never waits for readers. The reader
  // holds a snapshot, the writer's changes up to some instant (a prefix in
  // the writer's order, whole frames only: see storage/snapshot_reader.h),
  // in its own index; refresh() moves it on. Every changing call fails with
  // Io "collection is read-only". A missing or damaged collection is
  // refused with the cause.
  static Result<std::unique_ptr<Collection>> open_read_only(const std::string& path, fs::FileSystem* fs = nullptr);
  // A reader: moves the snapshot to the writer's latest state on the files
  // and returns how many changes that applied (after a compaction, or when
  // it had to read everything again: the count of held ids). Searches on
  // other threads see the old snapshot or the new one, never a mix. On an
  // error the snapshot stays as it was. A writer: 0.
  Result<uint64_t> refresh();
  bool read_only() const;

  ~Collection();  // writes out buffers (records only behind a forced log), no checkpoint, no meta save
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  // Logs then applies an insertion; an id already held is replaced.
  Status insert(uint64_t id, std::span<const float> vector, Payload payload = {});
  // Inserts ids[i] with row i of `rows` (ids.size() rows of the dimension,
  // row-major) and payloads[i] when `payloads` is not empty (they are moved
  // from): what insert() for i = 0, 1, ... gives, but as one call. A batch
  // whose records take fewer than config().bulk_bytes is logged with the
  // bytes insert() would write, its frames encoded on `threads` cores (0:
  // every core for a large batch), the log forced once, at the end of the
  // batch (Always and Batch alike; Manual: never). A larger one takes the
  // bulk path: a flush first, then its records straight to data.ovx, each
  // chunk behind a small forced log entry, then a flush that makes all of it
  // durable before the call returns (meta.json is not rewritten). Either
  // way the first failing item stops the batch: the items before it stay,
  // its error is returned, nothing after it is applied, and the directory
  // opens to a prefix of the batch. Rows and payloads of the wrong count are
  // refused (DimensionMismatch) before anything is written.
  Status insert_batch(std::span<const uint64_t> ids, std::span<const float> rows,
                      std::span<Payload> payloads = {}, size_t threads = 0);
  // Logs then applies the deletion of every held id of `ids` (a repeat or
  // an id not held writes nothing), the log forced once at the end as for
  // insert_batch. Returns how many ids were held; on an error the deletions
  // before the failing one stay.
  Result<size_t> remove_batch(std::span<const uint64_t> ids);
  // Logs then applies the deletion of `id`; false, with nothing written, when
  // the id is not held. Its record is marked deleted by the next flush, whose
  // data sync covers the mark before the log is emptied.
  Result<bool> remove(uint64_t id);
  // Forces the log to stable storage: every change made so far is durable.
  Status sync();

  // Change the data file, the index and the bookkeeping without logging.
  Status apply_insert_no_wal(uint64_t id, std::span<const float> vector, Payload payload);
  Status apply_update_no_wal(uint64_t id, std::span<const float> vector, Payload payload);
  Result<bool> apply_delete_no_wal(uint64_t id);

  // Searches the in-memory index; never touches a file, never fails. The
  // filter (null: none) is handed to the index as it is, never copied;
  // with_payload=false copies no payload.
  std::vector<SearchResult> search(std::span<const float> query, uint64_t k,
                                   const Filter* filter = nullptr,
                                   bool with_payload = true) const;
  // Many queries at once (nq rows of dimension floats, row-major), on
  // `threads` threads (0: every core); see BruteForceIndex::search_batch.
  std::vector<std::vector<SearchResult>> search_batch(std::span<const float> queries, size_t nq,
                                                      uint64_t k, const Filter* filter = nullptr,
                                                      bool with_payload = false,
                                                      size_t threads = 1) const;

  // The stored vector and payload of `id` (copies); false when it is not held.
  Result<bool> get(uint64_t id, std::vector<float>* vector, Payload* payload) const;
  bool contains(uint64_t id) const;
  // Every held id, ascending.
  Result<std::vector<uint64_t>> ids() const;

  // Checkpoint: data file to stable storage, log emptied, meta.json rewritten.
  Status flush();
  // Flushes, then rewrites the data file with only the live records (crash
  // safe: a new file, synced, renamed over the old one). Returns the bytes
  // reclaimed. After a failed data sync it fails with that error.
  Result<uint64_t> compact();

  // Payload indexes (BruteForceIndex::create_index): builds the index of
  // top-level key `key` from every held payload and records the key in
  // indexes.json (temporary file, sync, rename, sync of the directory)
  // before returning; an index already held succeeds at once. Opening
  // rebuilds every recorded index from the payloads after recovery. A crash
  // leaves the old list or the new one, so the directory opens as before or
  // with the index; an indexes.json that cannot be read or parsed is
  // ignored at open (the collection opens without indexes; the next
  // create_index rewrites it). Errors: the index's own, and CollectionError
  // "write indexes failed: ..." (the index is then dropped again).
  Status create_index(const std::string& key);
  // Drops the index of `key` and its record; false when there was none. On
  // a failed write the index is kept (built again) and the error returned.
  Result<bool> drop_index(const std::string& key);
  // The indexed keys, ascending.
  std::vector<std::string> indexes() const;
  // Forces a branch of the filter planner (see BruteForceIndex).
  void set_filter_plan(FilterPlan plan);

  struct Stats {
    std::vector<std::pair<std::string, uint64_t>> indexes;  // indexed keys and the bytes each holds
    uint64_t vectors = 0;       // held ids
    uint64_t dead_records = 0;  // records of data.ovx no id uses (replaced, deleted)
    uint64_t data_bytes = 0;    // data.ovx, records still waiting included
    uint64_t log_bytes = 0;     // wal.log, frames still buffered included
  };
  Stats stats() const;
  // Writes meta.json from the live state: temporary file, sync, rename, sync
  // of the directory. Errors: "serialize meta failed: ...", "write meta
  // failed: ...".
  Status save_meta() const;

  size_t len() const;
  uint64_t next_id() const;
  const std::string& path() const;
  const CollectionConfig& config() const;

 private:
  struct State;
  explicit Collection(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace orvex
