// GroupStore: the stored vectors of BruteForceIndex, in groups of 16 slots
// interleaved by component. Group g starts at data() + g * 16 * dim, and
// component i of slot 16 g + l is at that start + 16 i + l: the layout the
// scan kernels read (kernels.h, StoreView). Lanes no slot uses are zero.
//
// Memory: one anonymous mapping, page-aligned (so 64-byte aligned), that
// grows in place or moves without copying (mremap). Fresh pages are zero
// and cost no memory until written. Growth asks for 2 MiB pages
// (MADV_HUGEPAGE); a reservation also makes its pages present at once
// (MADV_POPULATE_WRITE, shared among the cores the process may use). Both
// are only speed-ups: where the system refuses them nothing else changes.
//
// Errors: make_room returns false when the memory (or a size) is not
// available, the contents then unchanged; nothing else fails.
//
// Thread-safety: the const members may run concurrently with each other;
// everything else needs exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace orvex {

class GroupStore {
 public:
  explicit GroupStore(uint64_t dim) : dim_(dim) {}
  GroupStore(const GroupStore&) = delete;
  GroupStore& operator=(const GroupStore&) = delete;
  ~GroupStore();

  // The first group; null until room was made (and always when dim is 0).
  const float* data() const { return data_; }

  // Room for `groups` whole groups in all. Grows to at least twice the
  // groups there is room for, or with `exact` (a reservation) to exactly
  // `groups`, made present at once.
  bool make_room(size_t groups, bool exact);

  // The dim components of `v` into `slot`; those of `slot` into `out`.
  void put(size_t slot, const float* v) {
    float* dst = lane(slot);
    for (size_t i = 0; i < dim_; ++i) dst[i * kernels::kGroup] = v[i];
  }
  void get(size_t slot, float* out) const {
    const float* src = lane(slot);
    for (size_t i = 0; i < dim_; ++i) out[i] = src[i * kernels::kGroup];
  }
  // Copies slot `from` over slot `to`.
  void move(size_t from, size_t to) {
    const float* src = lane(from);
    float* dst = lane(to);
    for (size_t i = 0; i < dim_; ++i) dst[i * kernels::kGroup] = src[i * kernels::kGroup];
  }
  // Zeroes `slot` (a slot no longer used is padding).
  void clear(size_t slot) {
    float* dst = lane(slot);
    for (size_t i = 0; i < dim_; ++i) dst[i * kernels::kGroup] = 0.0f;
  }
  // Copies 16 rows of dim floats (row r at rows + r * dim) into the group
  // that starts at `slot` (a multiple of 16): a plain copy of the bits.
  void put_group(size_t slot, const float* rows);

 private:
  // Slot `slot`'s component 0; component i is 16 i floats further.
  float* lane(size_t slot) const {
    return data_ + (slot / kernels::kGroup) * (kernels::kGroup * dim_) + slot % kernels::kGroup;
  }
  // Grows the mapping to at least `bytes`; false when the memory is not
  // available (the contents are then unchanged).
  bool grow_to(size_t bytes, bool populate);

  const uint64_t dim_;
  float* data_ = nullptr;
  size_t bytes_ = 0;
};

}  // namespace orvex
