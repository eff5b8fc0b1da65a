// IdMap: a flat hash map from u64 ids to u64 values: the index's id -> slot
// map and the collection's id -> record offset map.
//
// Layout: one array of (key, value) slots, a power of two in length, probed
// linearly, at most 7/8 full. A lookup usually touches one cache line and
// an insertion allocates nothing unless the table grows. Deletion shifts the
// following entries of the probe run back into the hole, so no tombstones
// accumulate and lookups stay short after any mix of insertions and
// erasures. Key 0 marks an empty slot; the entry of key 0 itself is kept
// beside the table.
//
// Hashing: the key is mixed with a seed drawn per instance (64-bit
// finalizer), so ids chosen to collide in one map do not collide in another.
//
// Memory: a fresh table comes from calloc (zeroed lazily by the system), so
// reserving for n entries costs address space at once and pages only as they
// fill.
//
// Errors: reserve, try_emplace and insert_or_assign throw std::bad_alloc
// when the table cannot grow; the map is then unchanged. Nothing else throws.
//
// Thread-safety: none of its own. The const members may run concurrently
// with each other; everything else needs exclusive access. A pointer
// returned by find or try_emplace stays valid until the next insertion,
// erasure, reserve or clear.
#pragma once

#include <sys/mman.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>
#include <random>
#include <utility>

namespace orvex {

class IdMap {
 public:
  // Draws a fresh seed (random device, else address and clock).
  IdMap() : IdMap(random_seed()) {}
  explicit IdMap(uint64_t seed) : seed_(seed) {}
  ~IdMap() { std::free(slots_); }
  IdMap(const IdMap&) = delete;
  IdMap& operator=(const IdMap&) = delete;
  IdMap(IdMap&& other) noexcept { swap(other); }
  IdMap& operator=(IdMap&& other) noexcept {
    if (this != &other) {
      IdMap gone(std::move(other));
      swap(gone);
    }
    return *this;
  }

  size_t size() const { return size_ + (has_zero_ ? 1 : 0); }
  bool empty() const { return size() == 0; }
  // Slots in the table (0 before the first insertion).
  size_t capacity() const { return capacity_; }

  // Makes room for n entries in total without further growth.
  void reserve(size_t n) {
    if (n <= capacity_ - capacity_ / 8) return;
    size_t want = 16;
    while (want - want / 8 < n) {
      if (want > (SIZE_MAX / sizeof(Slot)) / 2) throw std::bad_alloc();
      want *= 2;
    }
    if (want > capacity_) rehash(want);
  }

  // The value of `key`, or nullptr.
  const uint64_t* find(uint64_t key) const {
    if (key == 0) return has_zero_ ? &zero_value_ : nullptr;
    if (capacity_ == 0) return nullptr;
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return &slots_[i].value;
      if (slots_[i].key == 0) return nullptr;
    }
  }
  uint64_t* find(uint64_t key) { return const_cast<uint64_t*>(std::as_const(*this).find(key)); }
  bool contains(uint64_t key) const { return find(key) != nullptr; }
  // Hints that `key` is about to be looked up (no effect on the contents).
  void prefetch(uint64_t key) const {
    if (capacity_ != 0) __builtin_prefetch(&slots_[home(key)]);
  }

  // Inserts (key, value) when key is absent. Returns the entry's value (the
  // existing one when present) and whether it was inserted.
  std::pair<uint64_t*, bool> try_emplace(uint64_t key, uint64_t value) {
    if (key == 0) {
      if (has_zero_) return {&zero_value_, false};
      has_zero_ = true;
      zero_value_ = value;
      return {&zero_value_, true};
    }
    if (capacity_ != 0) {
      size_t i = home(key);
      for (;; i = (i + 1) & mask_) {
        if (slots_[i].key == key) return {&slots_[i].value, false};
        if (slots_[i].key == 0) break;
      }
      if (size_ + 1 <= capacity_ - capacity_ / 8) {
        slots_[i] = Slot{key, value};
        ++size_;
        return {&slots_[i].value, true};
      }
    }
    reserve(size_ + 1);  // grows (may throw); the key is known to be absent
    Slot* slot = place(key, value);
    ++size_;
    return {&slot->value, true};
  }

  // Sets key's value; returns true when the key was absent.
  bool insert_or_assign(uint64_t key, uint64_t value) {
    auto [v, inserted] = try_emplace(key, value);
    if (!inserted) *v = value;
    return inserted;
  }

  // Removes key's entry; returns whether there was one.
  bool erase(uint64_t key) {
    if (key == 0) {
      bool had = has_zero_;
      has_zero_ = false;
      return had;
    }
    if (capacity_ == 0) return false;
    size_t hole = home(key);
    for (;; hole = (hole + 1) & mask_) {
      if (slots_[hole].key == key) break;
      if (slots_[hole].key == 0) return false;
    }
    // Backward shift: pull each later entry of the run whose home does not
    // lie cyclically after the hole into it, until an empty slot ends the run.
    for (size_t j = (hole + 1) & mask_; slots_[j].key != 0; j = (j + 1) & mask_) {
      const size_t from_home = (j - home(slots_[j].key)) & mask_;
      const size_t from_hole = (j - hole) & mask_;
      if (from_home >= from_hole) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = Slot{};
    --size_;
    return true;
  }

  // Removes every entry; keeps the table.
  void clear() {
    for (size_t i = 0; i < capacity_; ++i) slots_[i] = Slot{};
    size_ = 0;
    has_zero_ = false;
  }

  // A seed from the random device, mixed with an address and the clock (on
  // their own when there is no entropy source).
  static uint64_t random_seed() {
    uint64_t seed = 0x9e3779b97f4a7c15ULL;
    try {
      std::random_device rd;
      seed ^= (static_cast<uint64_t>(rd()) << 32) ^ rd();
    } catch (const std::exception&) {
    }
    int local = 0;
    seed ^= reinterpret_cast<uintptr_t>(&local);
    seed ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return seed;
  }

 private:
  struct Slot {
    uint64_t key = 0;  // 0: empty
    uint64_t value = 0;
  };

  size_t home(uint64_t key) const {
    uint64_t z = key ^ seed_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<size_t>(z ^ (z >> 31)) & mask_;
  }

  // Puts an absent nonzero key into the first empty slot of its run.
  // Precondition: the table has room.
  Slot* place(uint64_t key, uint64_t value) {
    size_t i = home(key);
    while (slots_[i].key != 0) i = (i + 1) & mask_;
    slots_[i] = Slot{key, value};
    return &slots_[i];
  }

  void rehash(size_t new_capacity) {
    Slot* fresh = static_cast<Slot*>(std::calloc(new_capacity, sizeof(Slot)));
    if (fresh == nullptr) throw std::bad_alloc();
#ifdef MADV_POPULATE_WRITE
    // Only a speed-up: a large table's zero pages are made present at once
    // (one system call instead of two faults per page, the first on a
    // lookup, the second on the write that follows it).
    constexpr size_t kPage = 4096;
    const size_t bytes = new_capacity * sizeof(Slot);
    if (bytes >= 64 * kPage) {
      const uintptr_t begin = (reinterpret_cast<uintptr_t>(fresh) + kPage - 1) / kPage * kPage;
      const uintptr_t end = (reinterpret_cast<uintptr_t>(fresh) + bytes) / kPage * kPage;
      if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
    }
#endif
    Slot* old = slots_;
    const size_t old_capacity = capacity_;
    slots_ = fresh;
    capacity_ = new_capacity;
    mask_ = new_capacity - 1;
    for (size_t i = 0; i < old_capacity; ++i) {
      if (old[i].key != 0) place(old[i].key, old[i].value);
    }
    std::free(old);
  }

  void swap(IdMap& other) noexcept {
    std::swap(seed_, other.seed_);
    std::swap(slots_, other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(mask_, other.mask_);
    std::swap(size_, other.size_);
    std::swap(has_zero_, other.has_zero_);
    std::swap(zero_value_, other.zero_value_);
  }

  uint64_t seed_ = 0;
  Slot* slots_ = nullptr;
  size_t capacity_ = 0;
  size_t mask_ = 0;
  size_t size_ = 0;  // entries in the table (key 0 not counted)
  bool has_zero_ = false;
  uint64_t zero_value_ = 0;
};

}  // namespace orvex
