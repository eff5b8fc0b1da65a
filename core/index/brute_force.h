// BruteForceIndex: an exact, exhaustive k-nearest-neighbour index in memory.
//
// Storage: vectors live in one contiguous, 64-byte aligned array, in groups
// of 16 stored vectors interleaved by component (component i of the 16
// vectors is contiguous; the last group is zero-padded), so one SIMD
// instruction advances 8 or 16 stored vectors while each lane keeps exactly
// the defined rounding order of its own vector. Removal moves the last vector
// into the hole, so storage stays contiguous. Payloads are kept per slot and
// cost nothing when empty.
//
// The visiting order of entries is unspecified (ties come out in no defined
// order); each instance uses its own random hash seed.
//
// Thread-safety: none of its own. search/search_batch/len/contains may run
// concurrently with each other; insert/remove need exclusive access.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "../distance.h"
#include "../error.h"
#include "../payload.h"

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
  BruteForceIndex(BruteForceIndex&&) noexcept;
  BruteForceIndex& operator=(BruteForceIndex&&) noexcept;

  // Checks, in order: length (DimensionMismatch), then id (DuplicateId). On
  // failure the index is unchanged. No numeric check of the components.
  Status insert(uint64_t id, std::span<const float> vector, Payload payload = {});

  // The k nearest entries, nearest first: exactly what a stable sort of all
  // candidates by distance cut at k gives, up to the order of ties. NaN
  // distances rank after every number. A query of the wrong length gives an
  // empty result. With a filter, entries whose payload does not match are
  // skipped before any distance work. Payloads are copied only into returned
  // results, and only when `with_payload` is set.
  std::vector<SearchResult> search(std::span<const float> query, uint64_t k,
                                   const Filter* filter = nullptr,
                                   bool with_payload = true) const;

  // Many queries at once: `queries` holds nq rows of dimension() floats,
  // row-major. Each stored vector is loaded once per block of queries.
  // Result i equals search(row i, k, filter, with_payload).
  std::vector<std::vector<SearchResult>> search_batch(std::span<const float> queries, size_t nq,
                                                      uint64_t k, const Filter* filter = nullptr,
                                                      bool with_payload = false) const;

  // Removes the entry of `id`; returns whether there was one.
  bool remove(uint64_t id);
  bool contains(uint64_t id) const;
  size_t len() const;
  // Capacity hint for n entries in total; may be ignored.
  void reserve(size_t n);

  uint64_t dimension() const;
  DistanceMetric metric() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvex
