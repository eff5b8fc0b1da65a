#include "filter.h"

#include <array>
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

// The number representations that equality tells apart. A non-negative
// signed integer counts as unsigned: Json(5) built from an int equals a
// parsed 5.
enum class NumRep { Unsigned, Negative, Float };

NumRep num_rep(const Json& j) {
  switch (j.type()) {
    case Json::value_t::number_unsigned:
      return NumRep::Unsigned;
    case Json::value_t::number_integer:
      return j.get_ref<const Json::number_integer_t&>() >= 0 ? NumRep::Unsigned : NumRep::Negative;
    default:
      return NumRep::Float;
  }
}

uint64_t as_u64(const Json& j) {
  if (j.is_number_unsigned()) return j.get_ref<const Json::number_unsigned_t&>();
  return static_cast<uint64_t>(j.get_ref<const Json::number_integer_t&>());
}

double as_double(const Json& j) {
  switch (j.type()) {
    case Json::value_t::number_unsigned:
      return static_cast<double>(j.get_ref<const Json::number_unsigned_t&>());
    case Json::value_t::number_integer:
      return static_cast<double>(j.get_ref<const Json::number_integer_t&>());
    default:
      return j.get_ref<const Json::number_float_t&>();
  }
}

bool numbers_equal(const Json& a, const Json& b) {
  NumRep ra = num_rep(a);
  if (ra != num_rep(b)) return false;
  switch (ra) {
    case NumRep::Unsigned:
      return as_u64(a) == as_u64(b);
    case NumRep::Negative:
      return a.get_ref<const Json::number_integer_t&>() == b.get_ref<const Json::number_integer_t&>();
    case NumRep::Float:
      return a.get_ref<const Json::number_float_t&>() == b.get_ref<const Json::number_float_t&>();
  }
  return false;
}

// Equality of two values whose members are not walked (everything but
// arrays and objects). Kinds are already known to agree.
bool scalars_equal(const Json& a, const Json& b) {
  switch (a.type()) {
    case Json::value_t::null:
      return true;
    case Json::value_t::boolean:
      return a.get_ref<const Json::boolean_t&>() == b.get_ref<const Json::boolean_t&>();
    case Json::value_t::string:
      return a.get_ref<const Json::string_t&>() == b.get_ref<const Json::string_t&>();
    case Json::value_t::binary:
      return a == b;
    default:  // discarded
      return false;
  }
}

enum class JsonKind { Null, Boolean, Number, String, Array, Object, Binary, Discarded };

JsonKind kind_of(const Json& j) {
  switch (j.type()) {
    case Json::value_t::null: return JsonKind::Null;
    case Json::value_t::boolean: return JsonKind::Boolean;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return JsonKind::Number;
    case Json::value_t::string: return JsonKind::String;
    case Json::value_t::array: return JsonKind::Array;
    case Json::value_t::object: return JsonKind::Object;
    case Json::value_t::binary: return JsonKind::Binary;
    default: return JsonKind::Discarded;
  }
}

bool is_leaf(FilterCondition::Kind k) {
  return k != FilterCondition::Kind::And && k != FilterCondition::Kind::Or &&
         k != FilterCondition::Kind::Not;
}

}  // namespace

bool json_equal(const Json& a, const Json& b) {
  // Walks nested arrays and objects with an explicit stack of pairs still to
  // compare, so any nesting depth is safe.
  SmallStack<std::pair<const Json*, const Json*>, 16> pending;
  pending.push({&a, &b});
  while (!pending.empty()) {
    auto [x, y] = pending.top();
    pending.pop();
    JsonKind kind = kind_of(*x);
    if (kind != kind_of(*y)) return false;
    switch (kind) {
      case JsonKind::Number:
        if (!numbers_equal(*x, *y)) return false;
        break;
      case JsonKind::Array: {
        const auto& ax = x->get_ref<const Json::array_t&>();
        const auto& ay = y->get_ref<const Json::array_t&>();
        if (ax.size() != ay.size()) return false;
        for (size_t i = ax.size(); i-- > 0;) pending.push({&ax[i], &ay[i]});
        break;
      }
      case JsonKind::Object: {
        const auto& ox = x->get_ref<const Json::object_t&>();
        const auto& oy = y->get_ref<const Json::object_t&>();
        if (ox.size() != oy.size()) return false;
        for (auto ix = ox.begin(), iy = oy.begin(); ix != ox.end(); ++ix, ++iy) {
          if (ix->first != iy->first) return false;
          pending.push({&ix->second, &iy->second});
        }
        break;
      }
      default:
        if (!scalars_equal(*x, *y)) return false;
        break;
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
  const bool present = it != payload.data.end();
  switch (kind_) {
    case Kind::Eq:
      return present && json_equal(it->second, value_);
    case Kind::Ne:
      return !present || !json_equal(it->second, value_);
    case Kind::Gt:
    case Kind::Gte:
    case Kind::Lt:
    case Kind::Lte: {
      if (!present || !value_.is_number() || !it->second.is_number()) return false;
      double l = as_double(it->second);
      double r = as_double(value_);
      switch (kind_) {
        case Kind::Gt: return l > r;
        case Kind::Gte: return l >= r;
        case Kind::Lt: return l < r;
        default: return l <= r;
      }
    }
    case Kind::In:
      if (!present) return false;
      for (const Json& v : values_) {
        if (json_equal(it->second, v)) return true;
      }
      return false;
    case Kind::Contains:
      return present && it->second.is_string() &&
             std::string_view(it->second.get_ref<const Json::string_t&>()).find(field2_) !=
                 std::string_view::npos;
    case Kind::Exists:
      return present;
    default:
      return false;  // combinators are not leaves
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
