// BruteForceIndex: an exact, exhaustive k-nearest-neighbour index in memory.
//
// Storage: vectors live in one contiguous, 64-byte aligned array, in groups
// of 16 stored vectors interleaved by component (component i of the 16
// vectors is contiguous; the last group is zero-padded), so one SIMD
// instruction advances 8 or 16 stored vectors while each lane keeps exactly
// the defined rounding order of its own vector (group_store.h). Removal
// moves the last vector into the hole, so storage stays contiguous. Payloads
// are kept per slot and cost nothing when empty.
//
// Results come in one order on every path: distances ascending, NaN after
// every number, equal distances by id ascending. Ids map to storage
// slots through an open-addressing table; payloads sit in a per-slot table
// that is only created when a first non-empty payload arrives.
//
// Filters: for each payload key a filter asks about, the index keeps a column
// of that key's value per entry (16 bytes an entry, for at most 8 keys, the
// least recently used dropped first), built by the first search that needs
// it and kept in step by insert and remove (payload_columns.h). A filtered
// search first decides every entry from the columns, then scans only the
// groups of 16 holding a passing entry (a group costs its full memory
// traffic even for one passing entry); when every entry passes it is the
// unfiltered scan.
//
// Payload indexes (create_index): for a top-level key, the slots holding
// each scalar value of it, kept in step by insert and remove, about 4 bytes
// an entry holding the key (payload_index.h). A filtered search asks the
// planner (payload_index.h) first: when the indexes decide the filter, the
// passing entries come from them without matching any payload. One query
// scans the groups holding a passing entry under a mask; a batch with few
// passing entries has them gathered once into blocks of 16 of their own,
// scanned by the same kernel (each lane keeps its vector's order of
// operations, so the distances are the bits of the unfiltered scan) for
// every query. Filters the indexes do not decide go to the columns above.
// Every
// branch returns the same results.
//
// Distances are the bits distance() gives, on every kernel path (see
// set_kernel_path). Selection keeps the k best in a bounded heap under the
// result order; a whole register of distances is compared with the current
// k-th before the heap is touched. An unfiltered Euclidean search_batch on
// the AVX2 and AVX-512 paths first bounds each query's distances to a group
// of 16 from a fast dot product and the stored squared norms, and skips the
// exact distances of a group only when none of them can enter the query's
// k best (see kernels.h); the results are those of the full scan.
//
// Thread-safety: search/search_batch/len/contains may run concurrently with
// each other (searches share the key columns under an internal mutex);
// insert/remove/create_index/drop_index need exclusive access;
// set_filter_plan may be called at any time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../distance.h"
#include "../error.h"
#include "../payload.h"
#include "payload_index.h"

namespace orvex {

class Filter;

struct SearchResult {
  uint64_t id;
  float distance;
  std::optional<Payload> payload;  // a copy of the stored payload, when asked for
};

class BruteForceIndex {
 public:
  // Never fails; any dimension (0 included) is accepted.
  BruteForceIndex(DistanceMetric metric, uint64_t dimension);
  ~BruteForceIndex();
  // A moved-from index may only be destroyed or assigned to.
  BruteForceIndex(BruteForceIndex&&) noexcept;
  BruteForceIndex& operator=(BruteForceIndex&&) noexcept;

  // Checks, in order: length (DimensionMismatch), then id (DuplicateId). On
  // failure the index is unchanged. No numeric check of the components.
  // When memory runs out the insertion fails with an Io error "insert
  // vector: out of memory", also leaving the index unchanged.
  Status insert(uint64_t id, std::span<const float> vector, Payload payload = {});

  // Inserts n entries without payloads: ids[i] with row i of `rows` (n rows
  // of dimension() floats, row-major). Exactly what insert(ids[i], row i)
  // for i = 0, 1, ... gives, stopping at the first error: the pairs before
  // it stay inserted, the failing one and those after it are not (an id
  // already held, or repeated earlier in the batch, is a DuplicateId).
  // When `ids` does not hold n ids or `rows` not n * dimension() floats,
  // nothing is inserted and the result is DimensionMismatch (the expected
  // and the given count of floats, or of ids). The storage for all n is
  // reserved at once; rows are copied 16 at a time into a whole group.
  Status insert_batch(std::span<const uint64_t> ids, std::span<const float> rows, size_t n);

  // The k nearest entries, nearest first: exactly what a sort of all
  // candidates by (distance, id) cut at k gives, NaN distances after every
  // number. A query of the wrong length gives an
  // empty result. With a filter, entries whose payload does not match are
  // skipped before any distance work. Payloads are copied only into returned
  // results, and only when `with_payload` is set (then an entry without a
  // payload gives an empty Payload). Should memory for the result itself run
  // out, the result is empty.
  std::vector<SearchResult> search(std::span<const float> query, uint64_t k,
                                   const Filter* filter = nullptr,
                                   bool with_payload = true) const;

  // Many queries at once: `queries` holds nq rows of dimension() floats,
  // row-major. Each stored vector is loaded once per block of queries.
  // Result i equals search(row i, k, filter, with_payload), bit for bit,
  // for every `threads`: the scan runs on that many threads (0: every core
  // the process may run on), which live only inside the call; the calling
  // thread is one of them. Always returns nq results; all are empty when
  // `queries` does not hold exactly nq * dimension() floats.
  std::vector<std::vector<SearchResult>> search_batch(std::span<const float> queries, size_t nq,
                                                      uint64_t k, const Filter* filter = nullptr,
                                                      bool with_payload = false,
                                                      size_t threads = 1) const;

  // Removes the entry of `id`; returns whether there was one.
  bool remove(uint64_t id);
  bool contains(uint64_t id) const;
  // The stored vector and payload of `id` (copies); false when it is not
  // held. O(dimension). Throws std::bad_alloc.
  bool get(uint64_t id, std::vector<float>* vector, Payload* payload) const;
  // Every held id, in no particular order. Throws std::bad_alloc.
  std::vector<uint64_t> ids() const;
  size_t len() const;
  // Capacity hint for n entries in total: the storage for them is allocated
  // and made present at once. Ignored when the memory is not available.
  void reserve(size_t n);

  uint64_t dimension() const;
  DistanceMetric metric() const;

  // Builds the payload index of top-level key `key` from every held
  // payload; one already held is kept as it is. Errors: more than 32 keys
  // indexed, or more than 2^32 - 1 entries, give PayloadError; out of
  // memory an Io error "create index: out of memory". On failure nothing
  // changed. An index that cannot grow later is dropped (searches then
  // match payloads), so none is ever stale.
  Status create_index(const std::string& key);
  // Drops the index of `key`; false when there was none.
  bool drop_index(const std::string& key);
  // The indexed keys, ascending, and the bytes each index holds.
  std::vector<std::string> indexes() const;
  std::vector<std::pair<std::string, uint64_t>> index_memory() const;
  // Forces a branch of the filter planner (tests and benchmarks; Auto: the
  // planner chooses, the default). Results are the same in every branch.
  void set_filter_plan(FilterPlan plan);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvex
