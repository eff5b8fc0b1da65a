// Collection: a persistent vector collection kept in a directory.
//
//   meta.json  settings and counters as of the last save (written atomically)
//   wal.log    write-ahead log of insertions since the last flush
//   data.ovx   append-only records of every stored vector
//
// An insertion is logged first, then appended to the data file, then applied
// to the in-memory index and the bookkeeping. flush() forces the data file to
// stable storage, empties the log and rewrites meta.json. Opening rebuilds
// the index from the data file's live records and replays the log.
//
// Thread-safety: a Collection may be shared between threads. Its members sit
// behind their own reader-writer locks; nesting occurs only as id_to_offset
// then data_file (both shared), and index, then id_to_offset, then next_id
// (all exclusive), plus wal held across flush's data-file step.
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
#include "storage/file.h"
#include "storage/wal.h"

namespace orvex {

struct CollectionConfig {
  uint64_t dimension = 0;
  DistanceMetric metric = DistanceMetric::Euclidean;
  SyncMode sync_mode = SyncMode::Batch;
};

class Collection {
 public:
  // Opens the collection in directory `path`, creating it (and its missing
  // parents) when needed. `fs` defaults to the real file system and must
  // outlive the collection.
  static Result<std::unique_ptr<Collection>> open_or_create(const std::string& path,
                                                            const CollectionConfig& config,
                                                            fs::FileSystem* fs = nullptr);

  ~Collection();  // writes out buffers, without sync, checkpoint or meta save
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  // Logs then applies an insertion; an id already held is replaced.
  Status insert(uint64_t id, std::span<const float> vector, Payload payload = {});

  // Change the data file, the index and the bookkeeping without logging.
  Status apply_insert_no_wal(uint64_t id, std::span<const float> vector, Payload payload);
  Status apply_update_no_wal(uint64_t id, std::span<const float> vector, Payload payload);
  Result<bool> apply_delete_no_wal(uint64_t id);

  // Searches the in-memory index; never touches a file, never fails.
  std::vector<SearchResult> search(std::span<const float> query, uint64_t k,
                                   std::optional<Filter> filter = std::nullopt,
                                   bool with_payload = true) const;
  // Many queries at once (nq rows of dimension floats, row-major).
  std::vector<std::vector<SearchResult>> search_batch(std::span<const float> queries, size_t nq,
                                                      uint64_t k, const Filter* filter = nullptr,
                                                      bool with_payload = false) const;

  // Checkpoint: data file to stable storage, log emptied, meta.json rewritten.
  Status flush();
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
