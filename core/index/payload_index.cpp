#include "payload_index.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace orvex {
namespace {

using Tag = FieldValue::Tag;
using Kind = FilterCondition::Kind;

FieldValue value_in(const Payload& p, const std::string& key) {
  auto it = p.data.find(key);
  return FieldValue::of(it == p.data.end() ? nullptr : &it->second);
}

double float_bits(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// A number's value as a double (how the order rules compare it).
double order_of(const FieldValue& f) {
  switch (f.tag) {
    case Tag::Unsigned: return static_cast<double>(f.bits);
    case Tag::Negative: return static_cast<double>(static_cast<int64_t>(f.bits));
    default: return float_bits(f.bits);
  }
}

bool is_number(Tag t) { return t == Tag::Unsigned || t == Tag::Negative || t == Tag::Float; }

bool is_leaf(Kind k) { return k != Kind::And && k != Kind::Or && k != Kind::Not; }

void set_rows(const SlotList& rows, std::vector<uint64_t>& bits) {
  rows.for_each([&](uint32_t r) { bits[r >> 6] |= uint64_t{1} << (r & 63); });
}

void clear_rows(const SlotList& rows, std::vector<uint64_t>& bits) {
  rows.for_each([&](uint32_t r) { bits[r >> 6] &= ~(uint64_t{1} << (r & 63)); });
}

// Every bit of slots 0 .. n - 1 set, none past them.
void fill_all(size_t n, std::vector<uint64_t>& bits) {
  std::fill(bits.begin(), bits.end(), ~uint64_t{0});
  if (n % 64 != 0) bits.back() = (uint64_t{1} << (n % 64)) - 1;
}

// Filters with more nodes than this are left to the matcher: the planner
// keeps a set of slots per pending operand.
constexpr size_t kMaxPlannedNodes = 64;

}  // namespace

// ---- SlotList ----------------------------------------------------------------

size_t SlotList::block_for(uint32_t slot) {
  size_t lo = 0, hi = blocks() - 1;
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (block(mid).back() < slot) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

void SlotList::drop_block(size_t i) {
  if (!rest_ || rest_->empty()) return;  // the only block: the list is empty
  if (i == 0) {
    first_ = std::move(rest_->front());
    rest_->erase(rest_->begin());
  } else {
    rest_->erase(rest_->begin() + static_cast<ptrdiff_t>(i) - 1);
  }
}

void SlotList::split(size_t i) {
  try {
    Block& whole = block(i);
    Block upper(whole.begin() + kBlock, whole.end());
    if (!rest_) rest_ = std::make_unique<std::vector<Block>>();
    rest_->insert(rest_->begin() + static_cast<ptrdiff_t>(i), std::move(upper));
    block(i).resize(kBlock);
  } catch (const std::bad_alloc&) {
  }
}

void SlotList::push_back(uint32_t slot) {
  const size_t n = blocks();
  if (n != 0 && block(n - 1).size() >= kBlock) {
    if (!rest_) rest_ = std::make_unique<std::vector<Block>>();
    rest_->emplace_back();
    try {
      rest_->back().push_back(slot);
    } catch (...) {
      rest_->pop_back();
      throw;
    }
    return;
  }
  (n == 0 ? first_ : block(n - 1)).push_back(slot);
}

void SlotList::erase(uint32_t slot) {
  if (empty()) return;
  const size_t b = block_for(slot);
  Block& in = block(b);
  auto it = std::lower_bound(in.begin(), in.end(), slot);
  if (it == in.end() || *it != slot) return;
  in.erase(it);
  if (in.empty()) drop_block(b);
}

void SlotList::insert(uint32_t slot) {
  if (empty() || block(blocks() - 1).back() < slot) return push_back(slot);
  const size_t b = block_for(slot);
  Block& in = block(b);
  in.insert(std::lower_bound(in.begin(), in.end(), slot), slot);
  if (in.size() > 2 * kBlock) split(b);
}

void SlotList::pop_back_if(uint32_t slot) {
  if (empty()) return;
  const size_t last = blocks() - 1;
  Block& in = block(last);
  if (in.back() != slot) return;
  in.pop_back();
  if (in.empty()) drop_block(last);
}

void SlotList::shrink_to_fit() {
  first_.shrink_to_fit();
  if (!rest_) return;
  for (Block& b : *rest_) b.shrink_to_fit();
  rest_->shrink_to_fit();
}

size_t SlotList::memory_bytes() const {
  size_t total = first_.capacity() * sizeof(uint32_t);
  if (rest_) {
    total += sizeof(*rest_) + rest_->capacity() * sizeof(Block);
    for (const Block& b : *rest_) total += b.capacity() * sizeof(uint32_t);
  }
  return total;
}

// ---- KeyIndex ----------------------------------------------------------------

KeyIndex::Slots* KeyIndex::list_of(const FieldValue& v, bool create) {
  switch (v.tag) {
    case Tag::Absent: return nullptr;
    case Tag::Null: return &nulls_;
    case Tag::Bool: return v.bits ? &trues_ : &falses_;
    case Tag::Other:
      if (!v.ref->is_string()) return &apart_;
      {
        const std::string& s = v.ref->get_ref<const Json::string_t&>();
        if (create) return &strings_[s];
        auto it = strings_.find(s);
        return it == strings_.end() ? nullptr : &it->second;
      }
    default: {
      const Number key = number_key(v);
      if (key.order != key.order) return &apart_;  // NaN equals nothing, is in no order
      if (create) return &numbers_[key];
      auto it = numbers_.find(key);
      return it == numbers_.end() ? nullptr : &it->second;
    }
  }
}

KeyIndex::Number KeyIndex::number_key(const FieldValue& v) {
  const double order = order_of(v);
  if (v.tag == Tag::Float && order == 0.0) return Number{0.0, static_cast<uint8_t>(v.tag), 0};  // 0.0 == -0.0
  return Number{order, static_cast<uint8_t>(v.tag), v.bits};
}

const KeyIndex::Slots* KeyIndex::find(const FieldValue& v) const {
  const Slots* s = const_cast<KeyIndex*>(this)->list_of(v, false);
  return s == &apart_ ? nullptr : s;
}

void KeyIndex::drop_if_empty(const FieldValue& v) {
  if (v.tag == Tag::Other && v.ref->is_string()) {
    auto it = strings_.find(v.ref->get_ref<const Json::string_t&>());
    if (it != strings_.end() && it->second.empty()) strings_.erase(it);
  } else if (is_number(v.tag)) {
    Slots* s = list_of(v, false);
    if (s != nullptr && s != &apart_ && s->empty()) numbers_.erase(number_key(v));
  }
}

void KeyIndex::add(uint32_t slot, const Payload& p) {
  if (Slots* s = list_of(value_in(p, key_), true)) s->push_back(slot);
}

void KeyIndex::remove(uint32_t slot, const Payload& p, uint32_t last, const Payload& last_p) {
  const FieldValue v = value_in(p, key_);
  if (Slots* s = list_of(v, false)) s->erase(slot);
  if (slot != last) {
    if (Slots* s = list_of(value_in(last_p, key_), false)) {
      s->pop_back_if(last);  // the highest slot
      s->insert(slot);
    }
  }
  drop_if_empty(v);
}

void KeyIndex::shrink() {
  nulls_.shrink_to_fit();
  falses_.shrink_to_fit();
  trues_.shrink_to_fit();
  apart_.shrink_to_fit();
  for (auto& [k, s] : numbers_) s.shrink_to_fit();
  for (auto& [k, s] : strings_) s.shrink_to_fit();
}

size_t KeyIndex::distinct_values() const {
  return numbers_.size() + strings_.size() + !nulls_.empty() + !falses_.empty() + !trues_.empty();
}

size_t KeyIndex::memory_bytes() const {
  auto bytes = [](const Slots& s) { return s.memory_bytes(); };
  size_t total = sizeof(*this) + bytes(nulls_) + bytes(falses_) + bytes(trues_) + bytes(apart_);
  constexpr size_t kNode = 4 * sizeof(void*);  // a map node's own links and bookkeeping
  for (const auto& [k, s] : numbers_) total += kNode + sizeof(Number) + sizeof(Slots) + bytes(s);
  for (const auto& [k, s] : strings_) {
    total += kNode + sizeof(std::string) + sizeof(Slots) + bytes(s);
    if (k.capacity() > 15) total += k.capacity() + 1;
  }
  total += strings_.bucket_count() * sizeof(void*);
  return total;
}

void KeyIndex::each_value(const FilterCondition& leaf, const std::function<void(const Slots&, bool)>& fn) const {
  FieldValue v;
  v.tag = Tag::Null;
  if (!nulls_.empty()) fn(nulls_, leaf.passes(v));
  v.tag = Tag::Bool;
  v.bits = 0;
  if (!falses_.empty()) fn(falses_, leaf.passes(v));
  v.bits = 1;
  if (!trues_.empty()) fn(trues_, leaf.passes(v));
  for (const auto& [k, s] : numbers_) {
    v.tag = static_cast<Tag>(k.tag);
    v.bits = k.bits;
    fn(s, leaf.passes(v));
  }
  for (const auto& [k, s] : strings_) {
    const Json text = k;
    fn(s, leaf.passes(FieldValue::of(&text)));
  }
}

void KeyIndex::select(const FilterCondition& leaf, size_t n, const PayloadOf& payload_of,
                      std::vector<uint64_t>& bits) const {
  // Slots without the key pass or fail together, as the leaf says of an
  // absent key: start from all of them passing or none, then set (or
  // clear) the lists of the values that pass (or fail).
  const bool absent_passes = leaf.passes(FieldValue{});
  if (absent_passes) fill_all(n, bits);
  const Kind kind = leaf.kind();
  const FieldValue bound = (kind == Kind::In || kind == Kind::Exists || kind == Kind::Contains)
                               ? FieldValue{} : FieldValue::of(&leaf.value());
  if (kind == Kind::Eq && !absent_passes) {
    if (const Slots* s = find(bound)) set_rows(*s, bits);
  } else if (kind == Kind::Ne && absent_passes) {
    if (const Slots* s = find(bound)) clear_rows(*s, bits);
  } else if (kind == Kind::In && !absent_passes) {
    for (const Json& operand : leaf.values()) {
      if (const Slots* s = find(FieldValue::of(&operand))) set_rows(*s, bits);
    }
  } else if ((kind == Kind::Gt || kind == Kind::Gte || kind == Kind::Lt || kind == Kind::Lte) && !absent_passes) {
    // Numbers compare as doubles; any other bound (or NaN) passes nothing.
    const double r = is_number(bound.tag) ? order_of(bound) : 0.0;
    if (is_number(bound.tag) && r == r) {
      auto begin = numbers_.begin(), end = numbers_.end();
      if (kind == Kind::Gt) begin = numbers_.upper_bound(r);
      if (kind == Kind::Gte) begin = numbers_.lower_bound(r);
      if (kind == Kind::Lt) end = numbers_.lower_bound(r);
      if (kind == Kind::Lte) end = numbers_.upper_bound(r);
      for (auto it = begin; it != end; ++it) set_rows(it->second, bits);
    }
  } else {
    each_value(leaf, [&](const Slots& s, bool passes) {
      if (passes && !absent_passes) set_rows(s, bits);
      if (!passes && absent_passes) clear_rows(s, bits);
    });
  }
  // Arrays, objects, binary, NaN: the matcher decides each.
  apart_.for_each([&](uint32_t r) {
    const uint64_t bit = uint64_t{1} << (r & 63);
    if (leaf.matches(payload_of(r))) {
      bits[r >> 6] |= bit;
    } else {
      bits[r >> 6] &= ~bit;
    }
  });
}

// ---- PayloadIndexes ------------------------------------------------------------

const KeyIndex* PayloadIndexes::find(const std::string& key) const {
  for (const auto& k : keys_) {
    if (k->key() == key) return k.get();
  }
  return nullptr;
}

bool PayloadIndexes::create(const std::string& key, size_t n, const PayloadOf& payload_of) {
  if (find(key) != nullptr) return false;
  auto index = std::make_unique<KeyIndex>(key);
  for (size_t slot = 0; slot < n; ++slot) index->add(static_cast<uint32_t>(slot), payload_of(slot));
  index->shrink();
  keys_.push_back(std::move(index));
  return true;
}

bool PayloadIndexes::drop(const std::string& key) {
  for (auto it = keys_.begin(); it != keys_.end(); ++it) {
    if ((*it)->key() == key) {
      keys_.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::string> PayloadIndexes::keys() const {
  std::vector<std::string> out;
  for (const auto& k : keys_) out.push_back(k->key());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::pair<std::string, uint64_t>> PayloadIndexes::memory() const {
  std::vector<std::pair<std::string, uint64_t>> out;
  for (const auto& k : keys_) out.push_back({k->key(), k->memory_bytes()});
  std::sort(out.begin(), out.end());
  return out;
}

void PayloadIndexes::add(uint32_t slot, const Payload& p) {
  for (size_t i = 0; i < keys_.size();) {
    try {
      keys_[i]->add(slot, p);
      ++i;
    } catch (const std::bad_alloc&) {
      keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(i));
    } catch (const std::length_error&) {
      keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

void PayloadIndexes::remove(uint32_t slot, const Payload& p, uint32_t last, const Payload& last_p) {
  for (size_t i = 0; i < keys_.size();) {
    try {
      keys_[i]->remove(slot, p, last, last_p);
      ++i;
    } catch (const std::bad_alloc&) {
      keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(i));
    } catch (const std::length_error&) {
      keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

bool PayloadIndexes::select_rows(const FilterCondition& root, size_t n, const PayloadOf& payload_of,
                                 std::vector<uint64_t>* bits, size_t* count) const {
  if (keys_.empty() || n == 0) return false;
  {  // small trees only, and at least one leaf on an indexed key
    std::vector<const FilterCondition*> pending{&root};
    size_t nodes = 0;
    bool indexed = false;
    while (!pending.empty()) {
      const FilterCondition* node = pending.back();
      pending.pop_back();
      if (++nodes > kMaxPlannedNodes) return false;
      if (is_leaf(node->kind())) {
        indexed = indexed || find(node->field()) != nullptr;
      } else {
        pending.push_back(node->left());
        if (node->right()) pending.push_back(node->right());
      }
    }
    if (!indexed) return false;
  }
  // Post-order over the tree; each operand's slots: exactly the passing
  // ones, a superset of them, or unknown (no index decides it).
  enum class Known : uint8_t { Exact, Superset, Unknown };
  struct Part {
    Known known;
    std::vector<uint64_t> bits;
  };
  const size_t words = (n + 63) / 64;
  std::vector<Part> parts;
  std::vector<std::pair<const FilterCondition*, bool>> stack{{&root, false}};
  while (!stack.empty()) {
    auto [node, expanded] = stack.back();
    const Kind kind = node->kind();
    if (is_leaf(kind)) {
      stack.pop_back();
      const KeyIndex* index = find(node->field());
      if (index == nullptr) {
        parts.push_back({Known::Unknown, {}});
      } else {
        parts.push_back({Known::Exact, std::vector<uint64_t>(words, 0)});
        index->select(*node, n, payload_of, parts.back().bits);
      }
      continue;
    }
    if (!expanded) {
      stack.back().second = true;
      if (node->right()) stack.push_back({node->right(), false});
      stack.push_back({node->left(), false});
      continue;
    }
    stack.pop_back();
    if (kind == Kind::Not) {
      Part& a = parts.back();
      if (a.known != Known::Exact) {
        a = {Known::Unknown, {}};
      } else {
        for (uint64_t& w : a.bits) w = ~w;
        if (n % 64 != 0) a.bits.back() &= (uint64_t{1} << (n % 64)) - 1;
      }
      continue;
    }
    Part b = std::move(parts.back());
    parts.pop_back();
    Part& a = parts.back();
    if (kind == Kind::And) {
      if (a.known == Known::Unknown) {
        a = std::move(b);
        if (a.known == Known::Exact) a.known = Known::Superset;
      } else if (b.known == Known::Unknown) {
        if (a.known == Known::Exact) a.known = Known::Superset;
      } else {
        for (size_t i = 0; i < words; ++i) a.bits[i] &= b.bits[i];
        if (b.known != Known::Exact) a.known = Known::Superset;
      }
    } else {  // Or
      if (a.known == Known::Unknown || b.known == Known::Unknown) {
        a = {Known::Unknown, {}};
      } else {
        for (size_t i = 0; i < words; ++i) a.bits[i] |= b.bits[i];
        if (b.known != Known::Exact) a.known = Known::Superset;
      }
    }
  }
  Part& result = parts.back();
  if (result.known == Known::Unknown) return false;
  if (result.known == Known::Superset) {  // the matcher narrows the candidates
    for (size_t w = 0; w < words; ++w) {
      for (uint64_t m = result.bits[w]; m != 0; m &= m - 1) {
        const size_t slot = w * 64 + static_cast<size_t>(__builtin_ctzll(m));
        if (!root.matches(payload_of(slot))) result.bits[w] &= ~(uint64_t{1} << (slot & 63));
      }
    }
  }
  size_t c = 0;
  for (uint64_t w : result.bits) c += static_cast<size_t>(__builtin_popcountll(w));
  *bits = std::move(result.bits);
  *count = c;
  return true;
}

ScanKind choose_scan(FilterPlan forced, size_t passing, size_t n, size_t queries) {
  if (passing == 0) return ScanKind::Empty;
  if (passing >= n) return ScanKind::Full;
  switch (forced) {
    case FilterPlan::Gather: return ScanKind::Gather;
    case FilterPlan::Mask:
    case FilterPlan::Matcher: return ScanKind::Mask;
    default: break;
  }
  constexpr size_t kGatherEvery = 16;
  return queries > 1 && passing <= n / kGatherEvery ? ScanKind::Gather : ScanKind::Mask;
}

}  // namespace orvex
