// Payload indexes of BruteForceIndex and the filter planner.
//
// A KeyIndex holds, for one top-level payload key, the slots holding each
// scalar value of it: null, false, true, every number (ordered by its value
// as a double, so ranges read a run of values; 1 and 1.0 stay two values)
// and every string. Each list of slots is kept ascending, 4 bytes a slot
// (SlotList).
// Slots whose value is an array, an object, binary or a NaN are listed
// apart and decided by the matcher; slots without the key are in no list.
//
// The planner (select_rows, choose_scan) decides a filter from the indexes:
// each leaf on an indexed key becomes the exact set of passing slots (the
// values that pass, found by lookup for Eq and In, by a run of the ordered
// numbers for Gt..Lte, by asking the leaf itself about each value
// otherwise; the listed-apart slots asked through the matcher; slots
// without the key pass when the leaf passes an absent key), And / Or / Not
// combine the sets, and a leaf on a key without an index leaves its And
// with a superset the matcher then narrows (anywhere else the indexes do
// not decide the filter). The leaf rules stay in FilterCondition::passes:
// an index only says which of its values a leaf passes.
//
// Errors: the building and changing members throw std::bad_alloc (the
// index's callers turn it into an error or drop the index).
//
// Thread-safety: select_rows and the const members may run concurrently;
// the rest needs exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "../filter.h"
#include "../payload.h"

namespace orvex {

// How a filtered search computes its distances; Auto lets the planner
// choose. The others force a branch (tests and benchmarks): Gather and
// Mask take the rows from the indexes when they decide the filter and from
// the matcher otherwise; Matcher never reads the indexes.
enum class FilterPlan : uint8_t { Auto, Gather, Mask, Matcher };

using PayloadOf = std::function<const Payload&(size_t slot)>;

// The slots holding one value, ascending, in blocks of at most a few
// thousand, so that a removal or an insertion in the middle moves one
// block's entries rather than the whole list's (a value half a million
// entries hold would otherwise move two megabytes per change). A short list
// is one block held inline (a key with a distinct value per entry pays no
// more than a plain vector); blocks are never empty. Throws std::bad_alloc
// when it cannot grow (then unchanged).
class SlotList {
 public:
  bool empty() const { return first_.empty(); }
  // `slot` is above every slot held.
  void push_back(uint32_t slot);
  // Removes `slot` when held.
  void erase(uint32_t slot);
  // Adds `slot`, not held, in its place.
  void insert(uint32_t slot);
  // Removes the highest slot when it is `slot`.
  void pop_back_if(uint32_t slot);
  template <class F>
  void for_each(F&& f) const {
    for (uint32_t slot : first_) f(slot);
    if (rest_)
      for (const auto& block : *rest_)
        for (uint32_t slot : block) f(slot);
  }
  void shrink_to_fit();
  size_t memory_bytes() const;

 private:
  using Block = std::vector<uint32_t>;
  static constexpr size_t kBlock = 2048;  // a block splits in two above twice this
  size_t blocks() const { return first_.empty() ? 0 : 1 + (rest_ ? rest_->size() : 0); }
  Block& block(size_t i) { return i == 0 ? first_ : (*rest_)[i - 1]; }
  // The first block whose highest slot is at least `slot`, else the last.
  size_t block_for(uint32_t slot);
  // Drops block i, just emptied.
  void drop_block(size_t i);
  // Block i, grown past twice kBlock, in two (kept whole should that fail).
  void split(size_t i);

  Block first_;                         // the lowest slots
  std::unique_ptr<std::vector<Block>> rest_;  // the blocks after it, once there are any
};

class KeyIndex {
 public:
  explicit KeyIndex(std::string key) : key_(std::move(key)) {}

  const std::string& key() const { return key_; }
  // Slot `slot` (the highest so far) now holds payload `p`.
  void add(uint32_t slot, const Payload& p);
  // `slot`, holding `p`, is gone; then, unless slot == last, slot `last`
  // (holding `last_p`) moved into it.
  void remove(uint32_t slot, const Payload& p, uint32_t last, const Payload& last_p);
  // Lists trimmed to their length (after a build).
  void shrink();
  // Bytes held (lists, values, map nodes as estimated).
  size_t memory_bytes() const;
  size_t distinct_values() const;

  // Bits (one per slot, n of them, `bits` zeroed on entry) of the slots
  // passing `leaf`, a leaf on key().
  void select(const FilterCondition& leaf, size_t n, const PayloadOf& payload_of,
              std::vector<uint64_t>& bits) const;

 private:
  struct Number {
    double order;  // the value as a double; -0.0 kept as 0.0
    uint8_t tag;   // FieldValue::Tag
    uint64_t bits;
    bool operator<(const Number& o) const {
      if (order != o.order) return order < o.order;
      if (tag != o.tag) return tag < o.tag;
      return bits < o.bits;
    }
  };
  struct ByOrder {  // heterogeneous lookups by the double alone
    using is_transparent = void;
    bool operator()(const Number& a, const Number& b) const { return a < b; }
    bool operator()(const Number& a, double b) const { return a.order < b; }
    bool operator()(double a, const Number& b) const { return a < b.order; }
  };
  using Slots = SlotList;
  static Number number_key(const FieldValue& v);  // a number's key

  // The list of value `v` (created when `create`), null for a value in no
  // list (absent), the listed-apart slots for a value kept apart.
  Slots* list_of(const FieldValue& v, bool create);
  const Slots* find(const FieldValue& v) const;
  void drop_if_empty(const FieldValue& v);
  // Calls fn(list, passes) for every value, `passes` from the leaf's rule.
  void each_value(const FilterCondition& leaf, const std::function<void(const Slots&, bool)>& fn) const;

  std::string key_;
  Slots nulls_, falses_, trues_;
  std::map<Number, Slots, ByOrder> numbers_;
  std::unordered_map<std::string, Slots> strings_;
  Slots apart_;  // arrays, objects, binary, NaN: decided by the matcher
};

class PayloadIndexes {
 public:
  bool empty() const { return keys_.empty(); }
  const KeyIndex* find(const std::string& key) const;
  // Builds the index of `key` over slots 0 .. n - 1; false when it was
  // already there.
  bool create(const std::string& key, size_t n, const PayloadOf& payload_of);
  bool drop(const std::string& key);
  std::vector<std::string> keys() const;  // ascending
  std::vector<std::pair<std::string, uint64_t>> memory() const;  // bytes per key, ascending

  // The index's changes, as KeyIndex::add / remove for every key. Should
  // memory run out, that key's index is dropped (so no list is ever stale).
  void add(uint32_t slot, const Payload& p);
  void remove(uint32_t slot, const Payload& p, uint32_t last, const Payload& last_p);

  // The planner's selection: whether the indexes decide `root` over n slots;
  // then *bits holds the passing slots exactly (a superset from the indexes
  // is narrowed by the matcher here) and *count how many.
  bool select_rows(const FilterCondition& root, size_t n, const PayloadOf& payload_of,
                   std::vector<uint64_t>* bits, size_t* count) const;

 private:
  std::vector<std::unique_ptr<KeyIndex>> keys_;
};

// The planner's choice of scan for `passing` of n slots decided (from the
// indexes or the matcher) for `queries` queries: every slot passing is the
// unfiltered scan (Full); otherwise a group of 16 slots costs its whole
// memory traffic for even one passing slot, gathered or scanned in place, so
// one query scans in place under a mask (Mask), while a batch has a few
// passing slots (at most one in 16) gathered once into blocks of their own
// that every query then reads from the cache (Gather). A forced plan is
// obeyed whenever some but not all slots pass.
enum class ScanKind : uint8_t { Empty, Full, Gather, Mask };
ScanKind choose_scan(FilterPlan forced, size_t passing, size_t n, size_t queries);

}  // namespace orvex
