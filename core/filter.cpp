#include "filter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

namespace orvex {
namespace {

// A stack that keeps its first N elements inline, so shallow trees and flat
// JSON values are walked without touching the heap; deeper ones spill into a
// vector.
template <class T, size_t N>
class SmallStack {
 public:
  bool empty() const { return size_ == 0; }
  void push(T v) {
    if (size_ < N) {
      inline_[size_] = v;
    } else {
      spill_.push_back(v);
    }
    ++size_;
  }
  T& top() { return size_ <= N ? inline_[size_ - 1] : spill_.back(); }
  void pop() {
    if (size_ > N) spill_.pop_back();
    --size_;
  }

 private:
  std::array<T, N> inline_{};
  std::vector<T> spill_;
  size_t size_ = 0;
};

using Tag = FieldValue::Tag;

double float_of(const FieldValue& f) {
  double d;
  std::memcpy(&d, &f.bits, sizeof d);
  return d;
}

bool is_number(Tag t) { return t == Tag::Unsigned || t == Tag::Negative || t == Tag::Float; }

double number_of(const FieldValue& f) {
  switch (f.tag) {
    case Tag::Unsigned: return static_cast<double>(f.bits);
    case Tag::Negative: return static_cast<double>(static_cast<int64_t>(f.bits));
    default: return float_of(f);
  }
}

// ---- the leaf rules, shared by payload-by-payload and column matching ----

// Strict JSON equality of two present values: kinds and number
// representations must agree (1 != 1.0), floats compare as floats (0.0 ==
// -0.0), strings, arrays and objects by content.
bool field_equal(const FieldValue& a, const FieldValue& b) {
  if (a.tag != b.tag) return false;
  switch (a.tag) {
    case Tag::Null: return true;
    case Tag::Float: return float_of(a) == float_of(b);
    case Tag::Other: return json_equal(*a.ref, *b.ref);
    default: return a.bits == b.bits;
  }
}

// Eq: present and equal (an absent cell equals nothing). Ne: the opposite,
// so an absent key matches. Exists: present, whatever the value.
bool eq_passes(const FieldValue& cell, const FieldValue& v) { return field_equal(cell, v); }
bool ne_passes(const FieldValue& cell, const FieldValue& v) { return !field_equal(cell, v); }
bool exists_passes(const FieldValue& cell) { return cell.tag != Tag::Absent; }

// Gt, Gte, Lt, Lte: only numbers are ordered; the cell (left) and the
// bound (right) compare as doubles, so 3 > 2.5 and 2^53 + 1 is not > 2^53.
template <FilterCondition::Kind K>
bool order_passes(const FieldValue& cell, double bound) {
  if (!is_number(cell.tag)) return false;
  const double l = number_of(cell);
  if constexpr (K == FilterCondition::Kind::Gt) return l > bound;
  if constexpr (K == FilterCondition::Kind::Gte) return l >= bound;
  if constexpr (K == FilterCondition::Kind::Lt) return l < bound;
  return l <= bound;
}

// Contains: a string value holding the substring (never an array element).
bool contains_passes(const FieldValue& cell, std::string_view substring) {
  return cell.tag == Tag::Other && cell.ref->is_string() &&
         std::string_view(cell.ref->get_ref<const Json::string_t&>()).find(substring) != std::string_view::npos;
}

// In: present and equal to one of the operands (FieldValues, or Json values
// turned into FieldValues on the way).
FieldValue as_field(const FieldValue& f) { return f; }
FieldValue as_field(const Json& j) { return FieldValue::of(&j); }
template <class Range>
bool in_passes(const FieldValue& cell, const Range& operands) {
  if (cell.tag == Tag::Absent) return false;
  for (const auto& v : operands) {
    if (field_equal(cell, as_field(v))) return true;
  }
  return false;
}

bool is_leaf(FilterCondition::Kind k) {
  return k != FilterCondition::Kind::And && k != FilterCondition::Kind::Or &&
         k != FilterCondition::Kind::Not;
}

}  // namespace

bool json_equal(const Json& a, const Json& b) {
  // Scalars compare by field_equal; arrays and objects are walked with an
  // explicit stack of pairs still to compare, so any nesting depth is safe.
  SmallStack<std::pair<const Json*, const Json*>, 16> pending;
  pending.push({&a, &b});
  while (!pending.empty()) {
    auto [x, y] = pending.top();
    pending.pop();
    if (x->type() != y->type() && !(x->is_number() && y->is_number())) return false;
    if (x->is_array()) {
      const auto& ax = x->get_ref<const Json::array_t&>();
      const auto& ay = y->get_ref<const Json::array_t&>();
      if (ax.size() != ay.size()) return false;
      for (size_t i = ax.size(); i-- > 0;) pending.push({&ax[i], &ay[i]});
    } else if (x->is_object()) {
      const auto& ox = x->get_ref<const Json::object_t&>();
      const auto& oy = y->get_ref<const Json::object_t&>();
      if (ox.size() != oy.size()) return false;
      for (auto ix = ox.begin(), iy = oy.begin(); ix != ox.end(); ++ix, ++iy) {
        if (ix->first != iy->first) return false;
        pending.push({&ix->second, &iy->second});
      }
    } else if (x->is_string()) {
      if (x->get_ref<const Json::string_t&>() != y->get_ref<const Json::string_t&>()) return false;
    } else if (x->is_binary() || x->is_discarded()) {
      if (x->is_discarded() || *x != *y) return false;
    } else if (!field_equal(FieldValue::of(x), FieldValue::of(y))) {
      return false;
    }
  }
  return true;
}

// ---- construction -------------------------------------------------------

#define ORVEX_VALUE_LEAF(NAME, KIND)                                        \
  FilterCondition FilterCondition::NAME(std::string field, Json value) {    \
    FilterCondition c(Kind::KIND);                       \
    c.field_ = std::move(field);                                            \
    c.value_ = std::move(value);                                            \
    return c;                                                               \
  }
ORVEX_VALUE_LEAF(eq, Eq)
ORVEX_VALUE_LEAF(ne, Ne)
ORVEX_VALUE_LEAF(gt, Gt)
ORVEX_VALUE_LEAF(gte, Gte)
ORVEX_VALUE_LEAF(lt, Lt)
ORVEX_VALUE_LEAF(lte, Lte)
#undef ORVEX_VALUE_LEAF

FilterCondition FilterCondition::in(std::string field, std::vector<Json> values) {
  FilterCondition c(Kind::In);
  c.field_ = std::move(field);
  c.values_ = std::move(values);
  return c;
}

FilterCondition FilterCondition::contains(std::string field, std::string substring) {
  FilterCondition c(Kind::Contains);
  c.field_ = std::move(field);
  c.field2_ = std::move(substring);
  return c;
}

FilterCondition FilterCondition::exists(std::string field) {
  FilterCondition c(Kind::Exists);
  c.field_ = std::move(field);
  return c;
}

FilterCondition FilterCondition::and_(FilterCondition left, FilterCondition right) {
  FilterCondition c(Kind::And);
  c.left_ = std::make_unique<FilterCondition>(std::move(left));
  c.right_ = std::make_unique<FilterCondition>(std::move(right));
  return c;
}

FilterCondition FilterCondition::or_(FilterCondition left, FilterCondition right) {
  FilterCondition c(Kind::Or);
  c.left_ = std::make_unique<FilterCondition>(std::move(left));
  c.right_ = std::make_unique<FilterCondition>(std::move(right));
  return c;
}

FilterCondition FilterCondition::not_(FilterCondition inner) {
  FilterCondition c(Kind::Not);
  c.left_ = std::make_unique<FilterCondition>(std::move(inner));
  return c;
}

// ---- copy, move, destruction (all without recursion) ---------------------

void FilterCondition::copy_own_fields(const FilterCondition& other) {
  kind_ = other.kind_;
  field_ = other.field_;
  field2_ = other.field2_;
  value_ = other.value_;
  values_ = other.values_;
}

FilterCondition::FilterCondition(const FilterCondition& other) : kind_(other.kind_) {
  copy_own_fields(other);
  // Pairs (source node, its fresh copy) whose children are still to copy.
  std::vector<std::pair<const FilterCondition*, FilterCondition*>> pending;
  pending.push_back({&other, this});
  while (!pending.empty()) {
    auto [src, dst] = pending.back();
    pending.pop_back();
    if (src->left_) {
      dst->left_.reset(new FilterCondition(src->left_->kind_));
      dst->left_->copy_own_fields(*src->left_);
      pending.push_back({src->left_.get(), dst->left_.get()});
    }
    if (src->right_) {
      dst->right_.reset(new FilterCondition(src->right_->kind_));
      dst->right_->copy_own_fields(*src->right_);
      pending.push_back({src->right_.get(), dst->right_.get()});
    }
  }
}

FilterCondition& FilterCondition::operator=(const FilterCondition& other) {
  if (this != &other) {
    FilterCondition copy(other);
    swap(copy);
  }
  return *this;
}

FilterCondition::FilterCondition(FilterCondition&& other) noexcept
    : kind_(other.kind_),
      field_(std::move(other.field_)),
      field2_(std::move(other.field2_)),
      value_(std::move(other.value_)),
      values_(std::move(other.values_)),
      left_(std::move(other.left_)),
      right_(std::move(other.right_)) {}

FilterCondition& FilterCondition::operator=(FilterCondition&& other) noexcept {
  // Through a temporary: `other` may live inside this node's own subtree.
  if (this != &other) {
    FilterCondition taken(std::move(other));
    swap(taken);
  }
  return *this;
}

void FilterCondition::swap(FilterCondition& other) noexcept {
  std::swap(kind_, other.kind_);
  field_.swap(other.field_);
  field2_.swap(other.field2_);
  value_.swap(other.value_);
  values_.swap(other.values_);
  left_.swap(other.left_);
  right_.swap(other.right_);
}

// Frees a subtree in constant stack space and without allocating: while the
// current node has a left child, rotate it to the right (the left child
// becomes the parent); a node without a left child is freed after its right
// child has been detached. Every node freed here has no children left, so its
// own destructor does not descend.
void FilterCondition::destroy_subtree(std::unique_ptr<FilterCondition> node) noexcept {
  while (node) {
    if (node->left_) {
      std::unique_ptr<FilterCondition> l = std::move(node->left_);
      node->left_ = std::move(l->right_);
      l->right_ = std::move(node);
      node = std::move(l);
    } else {
      std::unique_ptr<FilterCondition> r = std::move(node->right_);
      node = std::move(r);
    }
  }
}

FilterCondition::~FilterCondition() {
  destroy_subtree(std::move(left_));
  destroy_subtree(std::move(right_));
}

// ---- matching -----------------------------------------------------------

bool FilterCondition::leaf_matches(const Payload& payload) const {
  auto it = payload.data.find(field_);
  return passes(FieldValue::of(it == payload.data.end() ? nullptr : &it->second));
}

bool FilterCondition::passes(const FieldValue& cell) const {
  switch (kind_) {
    case Kind::Eq: return eq_passes(cell, FieldValue::of(&value_));
    case Kind::Ne: return ne_passes(cell, FieldValue::of(&value_));
    case Kind::Gt:
    case Kind::Gte:
    case Kind::Lt:
    case Kind::Lte: {
      const FieldValue bound = FieldValue::of(&value_);
      if (!is_number(bound.tag)) return false;
      const double r = number_of(bound);
      if (kind_ == Kind::Gt) return order_passes<Kind::Gt>(cell, r);
      if (kind_ == Kind::Gte) return order_passes<Kind::Gte>(cell, r);
      if (kind_ == Kind::Lt) return order_passes<Kind::Lt>(cell, r);
      return order_passes<Kind::Lte>(cell, r);
    }
    case Kind::In: return in_passes(cell, values_);
    case Kind::Contains: return contains_passes(cell, field2_);
    case Kind::Exists: return exists_passes(cell);
    default: return false;  // combinators are not leaves
  }
}

bool FilterCondition::matches(const Payload& payload) const {
  if (is_leaf(kind_)) return leaf_matches(payload);

  // Iterative post-order walk with short-circuit. Each frame is a combinator
  // whose left operand (or inner condition) is being evaluated (stage 0) or
  // whose right operand is being evaluated (stage 1).
  struct Frame {
    const FilterCondition* node;
    bool on_right;
  };
  SmallStack<Frame, 32> stack;
  const FilterCondition* cur = this;
  for (;;) {
    while (!is_leaf(cur->kind_)) {
      stack.push({cur, false});
      cur = cur->left_.get();
    }
    bool result = cur->leaf_matches(payload);
    cur = nullptr;
    while (!stack.empty()) {
      Frame& f = stack.top();
      const Kind k = f.node->kind_;
      if (k == Kind::Not) {
        result = !result;
        stack.pop();
      } else if (f.on_right) {
        stack.pop();  // the right operand's result is the combinator's result
      } else if ((k == Kind::And && !result) || (k == Kind::Or && result)) {
        stack.pop();  // decided by the left operand alone
      } else {
        f.on_right = true;
        cur = f.node->right_.get();
        break;
      }
    }
    if (cur == nullptr) return result;
  }
}

}  // namespace orvex

// ---- matching many entries at once ---------------------------------------

namespace orvex {

FieldValue FieldValue::of(const Json* value) {
  FieldValue f;
  if (value == nullptr) return f;
  switch (value->type()) {
    case Json::value_t::null:
      f.tag = Tag::Null;
      break;
    case Json::value_t::boolean:
      f.tag = Tag::Bool;
      f.bits = value->get_ref<const Json::boolean_t&>() ? 1 : 0;
      break;
    case Json::value_t::number_unsigned:
      f.tag = Tag::Unsigned;
      f.bits = value->get_ref<const Json::number_unsigned_t&>();
      break;
    case Json::value_t::number_integer: {
      const int64_t i = value->get_ref<const Json::number_integer_t&>();
      f.tag = i >= 0 ? Tag::Unsigned : Tag::Negative;
      f.bits = static_cast<uint64_t>(i);
      break;
    }
    case Json::value_t::number_float: {
      const double d = value->get_ref<const Json::number_float_t&>();
      f.tag = Tag::Float;
      std::memcpy(&f.bits, &d, sizeof d);
      break;
    }
    default:
      f.tag = Tag::Other;
      f.ref = value;
      break;
  }
  return f;
}

struct ColumnMatcher::Leaf {
  FilterCondition::Kind kind;
  const FieldValue* column;
  FieldValue value;               // Eq, Ne
  double bound = 0;               // Gt..Lte, when the condition's value is a number
  bool bound_is_number = false;
  std::vector<FieldValue> values;  // In
  std::string_view substring;      // Contains
};

ColumnMatcher::ColumnMatcher(const FilterCondition& root,
                             const std::function<const FieldValue*(const std::string&)>& column)
    : root_(root) {
  std::vector<std::pair<std::string_view, const FieldValue*>> columns;  // one per distinct field
  std::vector<const FilterCondition*> pending{&root};
  while (!pending.empty()) {
    const FilterCondition* node = pending.back();
    pending.pop_back();
    if (!is_leaf(node->kind())) {
      pending.push_back(node->left());
      if (node->right()) pending.push_back(node->right());
      continue;
    }
    Leaf leaf;
    leaf.kind = node->kind();
    auto it = std::find_if(columns.begin(), columns.end(),
                           [&](const auto& c) { return c.first == node->field(); });
    if (it == columns.end()) {
      columns.push_back({node->field(), column(node->field())});
      it = columns.end() - 1;
    }
    leaf.column = it->second;
    switch (leaf.kind) {
      case FilterCondition::Kind::Eq:
      case FilterCondition::Kind::Ne:
        leaf.value = FieldValue::of(&node->value());
        break;
      case FilterCondition::Kind::In:
        leaf.values.reserve(node->values().size());
        for (const Json& v : node->values()) leaf.values.push_back(FieldValue::of(&v));
        break;
      case FilterCondition::Kind::Contains:
        leaf.substring = node->substring();
        break;
      case FilterCondition::Kind::Exists:
        break;
      default: {  // Gt, Gte, Lt, Lte
        const FieldValue v = FieldValue::of(&node->value());
        leaf.bound_is_number = is_number(v.tag);
        if (leaf.bound_is_number) leaf.bound = number_of(v);
        break;
      }
    }
    index_.push_back({node, static_cast<uint32_t>(leaves_.size())});
    leaves_.push_back(std::move(leaf));
  }
  std::sort(index_.begin(), index_.end());
}

ColumnMatcher::~ColumnMatcher() = default;

const ColumnMatcher::Leaf& ColumnMatcher::leaf_of(const FilterCondition* node) const {
  if (leaves_.size() == 1) return leaves_[0];
  auto it = std::lower_bound(index_.begin(), index_.end(), std::make_pair(node, uint32_t{0}));
  return leaves_[it->second];
}

uint64_t ColumnMatcher::leaf_word(const Leaf& leaf, size_t base, size_t count) const {
  const FieldValue* cells = leaf.column + base;
  uint64_t w = 0;
  // One loop per kind, so the test inside is fixed for the whole word.
  auto collect = [&](auto&& test) {
    for (size_t i = 0; i < count; ++i) w |= static_cast<uint64_t>(test(cells[i]) ? 1 : 0) << i;
  };
  using K = FilterCondition::Kind;
  const FieldValue& v = leaf.value;
  const double r = leaf.bound;
  switch (leaf.kind) {
    case K::Eq: collect([&](const FieldValue& c) { return eq_passes(c, v); }); break;
    case K::Ne: collect([&](const FieldValue& c) { return ne_passes(c, v); }); break;
    case K::Gt:
      if (leaf.bound_is_number) collect([&](const FieldValue& c) { return order_passes<K::Gt>(c, r); });
      break;
    case K::Gte:
      if (leaf.bound_is_number) collect([&](const FieldValue& c) { return order_passes<K::Gte>(c, r); });
      break;
    case K::Lt:
      if (leaf.bound_is_number) collect([&](const FieldValue& c) { return order_passes<K::Lt>(c, r); });
      break;
    case K::Lte:
      if (leaf.bound_is_number) collect([&](const FieldValue& c) { return order_passes<K::Lte>(c, r); });
      break;
    case K::In: collect([&](const FieldValue& c) { return in_passes(c, leaf.values); }); break;
    case K::Contains: collect([&](const FieldValue& c) { return contains_passes(c, leaf.substring); }); break;
    case K::Exists: collect([](const FieldValue& c) { return exists_passes(c); }); break;
    default: break;
  }
  return w;
}

uint64_t ColumnMatcher::match_word(size_t base, size_t count) const {
  const uint64_t all = count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
  using K = FilterCondition::Kind;
  // The same walk as FilterCondition::matches, over words of 64 entries: a
  // frame holds a combinator and, once its right operand is under way, the
  // word its left operand gave.
  struct Frame {
    const FilterCondition* node;
    bool on_right;
    uint64_t left;
  };
  SmallStack<Frame, 32> stack;
  const FilterCondition* cur = &root_;
  for (;;) {
    while (!is_leaf(cur->kind())) {
      stack.push({cur, false, 0});
      cur = cur->left();
    }
    uint64_t w = leaf_word(leaf_of(cur), base, count);
    cur = nullptr;
    while (!stack.empty()) {
      Frame& f = stack.top();
      const K k = f.node->kind();
      if (k == K::Not) {
        w = ~w & all;
        stack.pop();
      } else if (f.on_right) {
        w = k == K::And ? (f.left & w) : (f.left | w);
        stack.pop();
      } else if ((k == K::And && w == 0) || (k == K::Or && w == all)) {
        stack.pop();  // decided by the left operand alone
      } else {
        f.on_right = true;
        f.left = w;
        cur = f.node->right();
        break;
      }
    }
    if (cur == nullptr) return w;
  }
}

}  // namespace orvex
