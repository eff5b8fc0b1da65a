// Filters: condition trees over the top-level keys of a payload's `data` map.
//
// A Filter holds one root FilterCondition. Leaves test one key (looked up
// byte for byte, no path syntax) against a JSON value, a list of values or a
// substring, or test that the key is present; And/Or short-circuit; Not
// inverts. Matching is pure and never fails; a leaf costs one hash lookup
// plus the comparison and allocates nothing (only a tree more than 32
// combinators deep, or a condition value nested more than 16 levels, spills
// its walk onto the heap).
//
// Trees of any depth (a chain of a million Nots) are built, matched, copied
// and destroyed without recursion on the call stack.
//
// Thread-safety: matching only reads; any number of threads may match one
// filter at once while nothing modifies it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "payload.h"

namespace orvex {

struct FieldValue;

class FilterCondition {
 public:
  // Declared order fixes the tags 0..11; never reorder.
  enum class Kind : uint8_t { Eq, Ne, Gt, Gte, Lt, Lte, In, Contains, Exists, And, Or, Not };

  static FilterCondition eq(std::string field, Json value);
  static FilterCondition ne(std::string field, Json value);
  static FilterCondition gt(std::string field, Json value);
  static FilterCondition gte(std::string field, Json value);
  static FilterCondition lt(std::string field, Json value);
  static FilterCondition lte(std::string field, Json value);
  static FilterCondition in(std::string field, std::vector<Json> values);
  static FilterCondition contains(std::string field, std::string substring);
  static FilterCondition exists(std::string field);
  static FilterCondition and_(FilterCondition left, FilterCondition right);
  static FilterCondition or_(FilterCondition left, FilterCondition right);
  static FilterCondition not_(FilterCondition inner);

  FilterCondition(const FilterCondition& other);
  FilterCondition& operator=(const FilterCondition& other);
  FilterCondition(FilterCondition&&) noexcept;
  FilterCondition& operator=(FilterCondition&&) noexcept;
  ~FilterCondition();

  Kind kind() const { return kind_; }
  const std::string& field() const { return field_; }      // leaves
  const Json& value() const { return value_; }             // Eq..Lte
  const std::vector<Json>& values() const { return values_; }  // In
  const std::string& substring() const { return field2_; }  // Contains
  const FilterCondition* left() const { return left_.get(); }    // And, Or; Not: inner
  const FilterCondition* right() const { return right_.get(); }  // And, Or
  const FilterCondition* inner() const { return left_.get(); }   // Not

  bool matches(const Payload& payload) const;

  // For a leaf: whether a payload whose value of field() is `cell` (Absent:
  // the key is missing) matches. The leaf rules live here alone; payload
  // indexes ask this for the values they hold. False for a combinator.
  bool passes(const FieldValue& cell) const;

 private:
  explicit FilterCondition(Kind kind) : kind_(kind) {}
  void copy_own_fields(const FilterCondition& other);  // all but the children
  void swap(FilterCondition& other) noexcept;
  bool leaf_matches(const Payload& payload) const;
  static void destroy_subtree(std::unique_ptr<FilterCondition> node) noexcept;

  Kind kind_;
  std::string field_;
  std::string field2_;
  Json value_;
  std::vector<Json> values_;
  std::unique_ptr<FilterCondition> left_;
  std::unique_ptr<FilterCondition> right_;
};

class Filter {
 public:
  explicit Filter(FilterCondition condition) : condition(std::move(condition)) {}

  // Shorthands for building: Filter::eq("color", "red") etc.
  static Filter eq(std::string field, Json value) { return Filter(FilterCondition::eq(std::move(field), std::move(value))); }
  static Filter ne(std::string field, Json value) { return Filter(FilterCondition::ne(std::move(field), std::move(value))); }
  static Filter gt(std::string field, Json value) { return Filter(FilterCondition::gt(std::move(field), std::move(value))); }
  static Filter gte(std::string field, Json value) { return Filter(FilterCondition::gte(std::move(field), std::move(value))); }
  static Filter lt(std::string field, Json value) { return Filter(FilterCondition::lt(std::move(field), std::move(value))); }
  static Filter lte(std::string field, Json value) { return Filter(FilterCondition::lte(std::move(field), std::move(value))); }
  static Filter in(std::string field, std::vector<Json> values) { return Filter(FilterCondition::in(std::move(field), std::move(values))); }
  static Filter contains(std::string field, std::string substring) { return Filter(FilterCondition::contains(std::move(field), std::move(substring))); }
  static Filter exists(std::string field) { return Filter(FilterCondition::exists(std::move(field))); }

  bool matches(const Payload& payload) const { return condition.matches(payload); }

  FilterCondition condition;
};

// Combinators over conditions: a && b, a || b, !a.
inline FilterCondition operator&&(FilterCondition a, FilterCondition b) { return FilterCondition::and_(std::move(a), std::move(b)); }
inline FilterCondition operator||(FilterCondition a, FilterCondition b) { return FilterCondition::or_(std::move(a), std::move(b)); }
inline FilterCondition operator!(FilterCondition a) { return FilterCondition::not_(std::move(a)); }

// ---- matching many entries at once ------------------------------------------
//
// An index keeps, per payload key a filter asks about, a column holding that
// key's value for every entry as a FieldValue: numbers, booleans and null
// inline (compared without touching the payload), anything else by
// reference. A ColumnMatcher then decides 64 entries at a time from those
// columns: each leaf scans its column once per word of entries and the
// combinators combine whole words, so no key is hashed per entry.

// One entry's value of one key, or its absence.
struct FieldValue {
  enum class Tag : uint8_t {
    Absent,    // the key is not in the payload
    Null,
    Bool,      // bits: 0 or 1
    Unsigned,  // bits: the value (a non-negative signed integer counts here)
    Negative,  // bits: the int64_t value
    Float,     // bits: the double's bits
    Other,     // ref: strings, arrays, objects, binary
  };
  Tag tag = Tag::Absent;
  union {
    uint64_t bits = 0;
    const Json* ref;
  };

  // The value of `value` (null: absent). Keeps a pointer to `value` for the
  // Other kinds, so the Json must outlive the FieldValue.
  static FieldValue of(const Json* value);
};

// Evaluates one filter over entries 0..n-1 given per-key columns.
//
// Lifetime: the condition tree and every column handed out by `column` must
// outlive the matcher and stay unchanged while it is used. Thread-safety:
// match_word only reads; any number of threads may call it at once.
class ColumnMatcher {
 public:
  // `column(field)` returns the values of `field` for entries 0..n-1; it is
  // called once per distinct field. Throws std::bad_alloc (and whatever
  // `column` throws).
  ColumnMatcher(const FilterCondition& root,
                const std::function<const FieldValue*(const std::string& field)>& column);
  ~ColumnMatcher();

  // Bit i set when entry base + i matches, for i < count (count in 1..64;
  // entries base .. base + count - 1 must exist); higher bits are zero.
  // Allocates nothing unless the tree is more than 32 combinators deep.
  uint64_t match_word(size_t base, size_t count) const;

 private:
  struct Leaf;
  uint64_t leaf_word(const Leaf& leaf, size_t base, size_t count) const;
  const Leaf& leaf_of(const FilterCondition* node) const;

  const FilterCondition& root_;
  std::vector<Leaf> leaves_;
  std::vector<std::pair<const FilterCondition*, uint32_t>> index_;  // sorted by node
};

// Strict JSON equality of filters: kinds must agree, 1 != 1.0, 0.0 == -0.0,
// a non-negative signed integer counts as unsigned.
bool json_equal(const Json& a, const Json& b);

}  // namespace orvex
