#include "filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "index/brute_force.h"

namespace orvex {
namespace {

Payload payload_of(std::initializer_list<std::pair<const std::string, Json>> items) {
  Payload p;
  for (const auto& [k, v] : items) p.data.emplace(k, v);
  return p;
}

Json parsed(const char* text) { return Json::parse(text); }

struct MatchCase {
  std::string name;
  FilterCondition condition;
  Payload payload;
  bool expected;
};

std::ostream& operator<<(std::ostream& os, const MatchCase& c) { return os << c.name; }

class FilterMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(FilterMatch, MatchesAsDefined) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(c.condition.matches(c.payload), c.expected);
  EXPECT_EQ(Filter(c.condition).matches(c.payload), c.expected);
}

std::string case_name(const ::testing::TestParamInfo<MatchCase>& info) { return info.param.name; }

using FC = FilterCondition;
const uint64_t k2p53 = uint64_t{1} << 53;
const double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Eq, FilterMatch,
    ::testing::Values(
        MatchCase{"UnsignedEqual", FC::eq("k", 5u), payload_of({{"k", parsed("5")}}), true},
        MatchCase{"SignedNonNegativeCountsAsUnsigned", FC::eq("k", 5), payload_of({{"k", parsed("5")}}), true},
        MatchCase{"IntegerVsFloat", FC::eq("k", 1u), payload_of({{"k", parsed("1.0")}}), false},
        MatchCase{"FloatVsInteger", FC::eq("k", 1.0), payload_of({{"k", parsed("1")}}), false},
        MatchCase{"ZeroVsNegativeZero", FC::eq("k", 0.0), payload_of({{"k", parsed("-0.0")}}), true},
        MatchCase{"NegativeEqual", FC::eq("k", -3), payload_of({{"k", parsed("-3")}}), true},
        MatchCase{"NegativeVsPositive", FC::eq("k", -3), payload_of({{"k", parsed("3")}}), false},
        MatchCase{"NanNeverEqual", FC::eq("k", kNan), payload_of({{"k", kNan}}), false},
        MatchCase{"BeyondTwoPow53Exact", FC::eq("k", k2p53 + 1), payload_of({{"k", k2p53}}), false},
        MatchCase{"MaxUnsigned", FC::eq("k", std::numeric_limits<uint64_t>::max()),
                  payload_of({{"k", parsed("18446744073709551615")}}), true},
        MatchCase{"NullMatchesNull", FC::eq("k", nullptr), payload_of({{"k", nullptr}}), true},
        MatchCase{"NullVsAbsent", FC::eq("k", nullptr), payload_of({{"x", nullptr}}), false},
        MatchCase{"NullVsFalse", FC::eq("k", nullptr), payload_of({{"k", false}}), false},
        MatchCase{"StringEqual", FC::eq("k", "red"), payload_of({{"k", "red"}}), true},
        MatchCase{"StringCaseMatters", FC::eq("k", "red"), payload_of({{"k", "Red"}}), false},
        MatchCase{"BoolEqual", FC::eq("k", true), payload_of({{"k", true}}), true},
        MatchCase{"BoolVsNumber", FC::eq("k", true), payload_of({{"k", 1u}}), false},
        MatchCase{"ArrayEqual", FC::eq("k", parsed("[1,\"a\",[2.5]]")), payload_of({{"k", parsed("[1,\"a\",[2.5]]")}}), true},
        MatchCase{"ArrayOrderMatters", FC::eq("k", parsed("[1,2]")), payload_of({{"k", parsed("[2,1]")}}), false},
        MatchCase{"ArrayLengthMatters", FC::eq("k", parsed("[1]")), payload_of({{"k", parsed("[1,1]")}}), false},
        MatchCase{"ArrayNestedIntVsFloat", FC::eq("k", parsed("[[1]]")), payload_of({{"k", parsed("[[1.0]]")}}), false},
        MatchCase{"ObjectMemberOrderIrrelevant", FC::eq("k", Json{{"b", 1}, {"a", "x"}}),
                  payload_of({{"k", parsed(R"({"a":"x","b":1})")}}), true},
        MatchCase{"ObjectValueDiffers", FC::eq("k", parsed(R"({"a":1})")), payload_of({{"k", parsed(R"({"a":2})")}}), false},
        MatchCase{"ObjectKeyDiffers", FC::eq("k", parsed(R"({"a":1})")), payload_of({{"k", parsed(R"({"b":1})")}}), false},
        MatchCase{"ObjectExtraMember", FC::eq("k", parsed(R"({"a":1})")), payload_of({{"k", parsed(R"({"a":1,"b":1})")}}), false},
        MatchCase{"EmptyObjectVsEmptyArray", FC::eq("k", Json::object()), payload_of({{"k", Json::array()}}), false},
        MatchCase{"EmptyPayload", FC::eq("k", 1u), Payload{}, false},
        MatchCase{"KeyCaseMatters", FC::eq("Color", "red"), payload_of({{"color", "red"}}), false},
        MatchCase{"DottedFieldIsLiteralKey", FC::eq("a.b", 1u), payload_of({{"a.b", 1u}}), true},
        MatchCase{"DottedFieldIsNoPath", FC::eq("a.b", 1u), payload_of({{"a", parsed(R"({"b":1})")}}), false},
        MatchCase{"NestedKeysNotReached", FC::eq("b", 1u), payload_of({{"a", parsed(R"({"b":1})")}}), false}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Ne, FilterMatch,
    ::testing::Values(
        MatchCase{"Absent", FC::ne("k", 1u), payload_of({{"x", 1u}}), true},
        MatchCase{"EmptyPayload", FC::ne("k", 1u), Payload{}, true},
        MatchCase{"Equal", FC::ne("k", 1u), payload_of({{"k", 1u}}), false},
        MatchCase{"Different", FC::ne("k", 1u), payload_of({{"k", 2u}}), true},
        MatchCase{"IntegerVsFloat", FC::ne("k", 1u), payload_of({{"k", 1.0}}), true},
        MatchCase{"NullVsNull", FC::ne("k", nullptr), payload_of({{"k", nullptr}}), false}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Ordering, FilterMatch,
    ::testing::Values(
        MatchCase{"GtIntegerVsFloat", FC::gt("k", 2.5), payload_of({{"k", 3u}}), true},
        MatchCase{"GtEqualIsNot", FC::gt("k", 3u), payload_of({{"k", 3u}}), false},
        MatchCase{"GteIntegerVsFloatOne", FC::gte("k", 1u), payload_of({{"k", parsed("1.0")}}), true},
        MatchCase{"LtNegativeVsUnsigned", FC::lt("k", 3u), payload_of({{"k", -5}}), true},
        MatchCase{"GtNegativeVsUnsigned", FC::gt("k", 3u), payload_of({{"k", -5}}), false},
        MatchCase{"LteEqual", FC::lte("k", -2.0), payload_of({{"k", -2}}), true},
        MatchCase{"LtZeroVsNegativeZero", FC::lt("k", 0.0), payload_of({{"k", -0.0}}), false},
        MatchCase{"GtBeyondTwoPow53Rounds", FC::gt("k", k2p53), payload_of({{"k", k2p53 + 1}}), false},
        MatchCase{"GteBeyondTwoPow53Rounds", FC::gte("k", k2p53 + 1), payload_of({{"k", k2p53}}), true},
        MatchCase{"GtStringCondition", FC::gt("k", "1"), payload_of({{"k", 5u}}), false},
        MatchCase{"GtStringOfDigits", FC::gt("k", 1u), payload_of({{"k", "10"}}), false},
        MatchCase{"GtBool", FC::gt("k", 0u), payload_of({{"k", true}}), false},
        MatchCase{"GteNullCondition", FC::gte("k", nullptr), payload_of({{"k", nullptr}}), false},
        MatchCase{"LtAbsent", FC::lt("k", 10u), payload_of({{"x", 1u}}), false},
        MatchCase{"LteEmptyPayload", FC::lte("k", 10u), Payload{}, false},
        MatchCase{"GteNanPayload", FC::gte("k", 0u), payload_of({{"k", kNan}}), false},
        MatchCase{"LteNanCondition", FC::lte("k", kNan), payload_of({{"k", 0u}}), false},
        MatchCase{"GtInfinity", FC::gt("k", 1e308), payload_of({{"k", std::numeric_limits<double>::infinity()}}), true}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    In, FilterMatch,
    ::testing::Values(
        MatchCase{"SecondElement", FC::in("k", {Json(1u), Json("a")}), payload_of({{"k", "a"}}), true},
        MatchCase{"NoneEqual", FC::in("k", {Json(1u), Json("a")}), payload_of({{"k", "b"}}), false},
        MatchCase{"EmptyValues", FC::in("k", {}), payload_of({{"k", "a"}}), false},
        MatchCase{"EmptyValuesEmptyPayload", FC::in("k", {}), Payload{}, false},
        MatchCase{"Absent", FC::in("k", {Json(nullptr)}), payload_of({{"x", nullptr}}), false},
        MatchCase{"NullElement", FC::in("k", {Json(nullptr)}), payload_of({{"k", nullptr}}), true},
        MatchCase{"FloatVsInteger", FC::in("k", {Json(1.0)}), payload_of({{"k", 1u}}), false},
        MatchCase{"ArrayElement", FC::in("k", {parsed("[1,2]")}), payload_of({{"k", parsed("[1,2]")}}), true}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Contains, FilterMatch,
    ::testing::Values(
        MatchCase{"Middle", FC::contains("k", "bc"), payload_of({{"k", "abcd"}}), true},
        MatchCase{"CaseMatters", FC::contains("k", "BC"), payload_of({{"k", "abc"}}), false},
        MatchCase{"EmptySubstring", FC::contains("k", ""), payload_of({{"k", "abc"}}), true},
        MatchCase{"EmptySubstringEmptyString", FC::contains("k", ""), payload_of({{"k", ""}}), true},
        MatchCase{"EmptySubstringNumber", FC::contains("k", ""), payload_of({{"k", 5u}}), false},
        MatchCase{"EmptySubstringNull", FC::contains("k", ""), payload_of({{"k", nullptr}}), false},
        MatchCase{"ArrayOfStrings", FC::contains("k", "bc"), payload_of({{"k", parsed(R"(["bc"])")}}), false},
        MatchCase{"Longer", FC::contains("k", "abcd"), payload_of({{"k", "abc"}}), false},
        MatchCase{"SameLengthIdentical", FC::contains("k", "abc"), payload_of({{"k", "abc"}}), true},
        MatchCase{"SameLengthDifferent", FC::contains("k", "abd"), payload_of({{"k", "abc"}}), false},
        MatchCase{"EmbeddedZeroByte", FC::contains("k", std::string("b\0c", 3)),
                  payload_of({{"k", std::string("ab\0cd", 5)}}), true},
        MatchCase{"Absent", FC::contains("k", ""), Payload{}, false}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Exists, FilterMatch,
    ::testing::Values(
        MatchCase{"NullValue", FC::exists("k"), payload_of({{"k", nullptr}}), true},
        MatchCase{"Present", FC::exists("k"), payload_of({{"k", 0u}}), true},
        MatchCase{"Absent", FC::exists("k"), payload_of({{"x", 0u}}), false},
        MatchCase{"EmptyPayload", FC::exists("k"), Payload{}, false},
        MatchCase{"NotExistsEmptyPayload", !FC::exists("k"), Payload{}, true}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Combinators, FilterMatch,
    ::testing::Values(
        MatchCase{"AndBoth", FC::eq("a", 1u) && FC::eq("b", 2u), payload_of({{"a", 1u}, {"b", 2u}}), true},
        MatchCase{"AndLeftFails", FC::eq("a", 9u) && FC::eq("b", 2u), payload_of({{"a", 1u}, {"b", 2u}}), false},
        MatchCase{"AndRightFails", FC::eq("a", 1u) && FC::eq("b", 9u), payload_of({{"a", 1u}, {"b", 2u}}), false},
        MatchCase{"OrLeft", FC::eq("a", 1u) || FC::eq("b", 9u), payload_of({{"a", 1u}, {"b", 2u}}), true},
        MatchCase{"OrRight", FC::eq("a", 9u) || FC::eq("b", 2u), payload_of({{"a", 1u}, {"b", 2u}}), true},
        MatchCase{"OrNeither", FC::eq("a", 9u) || FC::eq("b", 9u), payload_of({{"a", 1u}, {"b", 2u}}), false},
        MatchCase{"Not", !FC::eq("a", 1u), payload_of({{"a", 1u}}), false},
        MatchCase{"NotNot", !!FC::eq("a", 1u), payload_of({{"a", 1u}}), true},
        MatchCase{"NestedMix", (FC::exists("a") || FC::eq("z", 0u)) && !(FC::gt("b", 5u) && FC::lt("b", 1u)),
                  payload_of({{"a", 1u}, {"b", 2u}}), true},
        MatchCase{"RightDeepMix", FC::eq("a", 9u) || (FC::eq("b", 2u) && (FC::eq("a", 1u) || FC::exists("q"))),
                  payload_of({{"a", 1u}, {"b", 2u}}), true}),
    case_name);

// Ne matches exactly when Not Eq does, and Not Not c exactly when c does,
// across every pairing of a set of values (including absence).
TEST(FilterEquivalence, NeIsNotEqAndDoubleNotIsIdentity) {
  std::vector<Json> values = {Json(nullptr), Json(true),  Json(false),     Json(0u),
                              Json(0.0),     Json(-0.0),  Json(-1),        Json(1u),
                              Json(1.0),     Json("1"),   parsed("[1]"),   parsed(R"({"a":1})"),
                              Json(k2p53),   Json(k2p53 + 1), Json(kNan)};
  std::vector<Payload> payloads = {Payload{}};
  for (const Json& v : values) payloads.push_back(payload_of({{"k", v}}));
  for (const Json& v : values) {
    FC eq = FC::eq("k", v);
    FC ne = FC::ne("k", v);
    FC negated_eq = !FC::eq("k", v);
    FC not_not = !!FC::eq("k", v);
    for (const Payload& p : payloads) {
      EXPECT_EQ(ne.matches(p), negated_eq.matches(p)) << v.dump();
      EXPECT_EQ(not_not.matches(p), eq.matches(p)) << v.dump();
    }
  }
}

TEST(JsonEqual, IsSymmetricAndReflexiveExceptNan) {
  std::vector<Json> values = {Json(nullptr), Json(3), Json(3u), Json(3.0), Json(-3),
                              Json(-3.0),    Json("x"), parsed(R"({"a":[1,{"b":null}]})"),
                              parsed(R"({"a":[1,{"b":null}]})")};
  for (const Json& a : values) {
    if (!(a.is_number_float() && std::isnan(a.get<double>()))) EXPECT_TRUE(json_equal(a, a)) << a.dump();
    for (const Json& b : values) EXPECT_EQ(json_equal(a, b), json_equal(b, a)) << a.dump() << b.dump();
  }
  EXPECT_TRUE(json_equal(Json(3), Json(3u)));
  EXPECT_FALSE(json_equal(Json(3), Json(3.0)));
  EXPECT_TRUE(json_equal(values[7], values[8]));
}

TEST(JsonEqual, DeeplyNestedValuesWithoutRecursion) {
  const int depth = 200000;
  Json a = Json::array();
  Json b = Json::array();
  Json* pa = &a;
  Json* pb = &b;
  for (int i = 0; i < depth; ++i) {
    pa->push_back(Json::array());
    pa = &pa->back();
    pb->push_back(Json::array());
    pb = &pb->back();
  }
  EXPECT_TRUE(json_equal(a, b));
  pb->push_back(1u);
  EXPECT_FALSE(json_equal(a, b));
}

TEST(FilterCopy, CopyIsDeepAndIndependent) {
  FC original = FC::eq("a", 1u) && !FC::contains("s", "x");
  FC copy = original;
  original = FC::exists("zzz");
  Payload p = payload_of({{"a", 1u}, {"s", "abc"}});
  EXPECT_TRUE(copy.matches(p));
  EXPECT_FALSE(original.matches(p));
  ASSERT_EQ(copy.kind(), FC::Kind::And);
  EXPECT_EQ(copy.left()->kind(), FC::Kind::Eq);
  EXPECT_EQ(copy.right()->kind(), FC::Kind::Not);
  EXPECT_EQ(copy.right()->inner()->substring(), "x");

  FC assigned = FC::exists("q");
  assigned = copy;
  EXPECT_TRUE(assigned.matches(p));
  assigned = std::move(copy);
  EXPECT_TRUE(assigned.matches(p));
}

TEST(FilterKind, TagsFollowDeclaredOrder) {
  EXPECT_EQ(static_cast<int>(FC::Kind::Eq), 0);
  EXPECT_EQ(static_cast<int>(FC::Kind::Contains), 7);
  EXPECT_EQ(static_cast<int>(FC::Kind::Not), 11);
}

// Trees a million levels deep: built, matched, copied and destroyed with no
// recursion on the call stack (a recursive walk would overflow it).
constexpr int kDeep = 1000000;

TEST(FilterDeepTree, NotChain) {
  FC c = FC::exists("k");
  for (int i = 0; i < kDeep; ++i) c = !std::move(c);
  Payload with = payload_of({{"k", 1u}});
  EXPECT_TRUE(c.matches(with));  // an even number of Nots
  EXPECT_FALSE(c.matches(Payload{}));
  FC odd = !FC(c);
  EXPECT_FALSE(odd.matches(with));
  EXPECT_TRUE(odd.matches(Payload{}));
  Filter f(std::move(c));
  Filter copy = f;
  EXPECT_TRUE(copy.matches(with));
}

TEST(FilterDeepTree, LeftDeepAndChain) {
  FC c = FC::exists("k");
  for (int i = 0; i < kDeep; ++i) c = std::move(c) && FC::gte("k", 0u);
  EXPECT_TRUE(c.matches(payload_of({{"k", 1u}})));
  EXPECT_FALSE(c.matches(payload_of({{"x", 1u}})));
  FC copy = c;
  EXPECT_TRUE(copy.matches(payload_of({{"k", 2u}})));
}

TEST(FilterDeepTree, RightDeepAndOrChains) {
  FC a = FC::exists("k");
  FC o = FC::eq("k", 7u);
  for (int i = 0; i < kDeep; ++i) {
    a = FC::gte("k", 0u) && std::move(a);
    o = FC::eq("k", uint64_t(i) + 1000) || std::move(o);
  }
  EXPECT_TRUE(a.matches(payload_of({{"k", 1u}})));
  EXPECT_FALSE(a.matches(payload_of({{"k", -1}})));
  EXPECT_TRUE(o.matches(payload_of({{"k", 7u}})));      // reached at the very bottom
  EXPECT_TRUE(o.matches(payload_of({{"k", 1000u}})));   // found near the bottom
  EXPECT_FALSE(o.matches(payload_of({{"k", 8u}})));
  FC copy = o;
  EXPECT_TRUE(copy.matches(payload_of({{"k", 7u}})));
}

// ---- matching from columns, 64 entries at a time --------------------------

// Payloads covering every value representation the columns tell apart.
std::vector<Payload> varied_payloads(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::vector<Json> values = {
      Json(nullptr), Json(true), Json(false), Json(0u), Json(1u), Json(5), Json(7u), Json(-3), Json(-0.0),
      Json(0.0), Json(1.0), Json(2.5), Json(kNan), Json(k2p53), Json(k2p53 + 1),
      Json(std::numeric_limits<uint64_t>::max()), Json(std::numeric_limits<int64_t>::min()), Json("red"),
      Json("redder"), Json(""), parsed("[1,2]"), parsed(R"({"a":1})"), Json::array(), Json::object()};
  // Every value under every key, in varying combinations; some keys absent.
  std::vector<Payload> out(n);
  for (size_t i = 0; i < n; ++i) {
    size_t j = 0;
    for (const char* key : {"a", "b", "c.d"}) {
      if (rng() % 5 != 0) out[i].data[key] = values[(i * (2 * j + 1) + rng() % 2) % values.size()];
      ++j;
    }
  }
  return out;
}

std::vector<FC> column_conditions() {
  std::vector<FC> out = {
      FC::eq("a", 5u), FC::eq("a", 1.0), FC::eq("a", -0.0), FC::eq("a", nullptr), FC::eq("a", true),
      FC::eq("a", "red"), FC::eq("a", parsed("[1,2]")), FC::eq("a", k2p53 + 1), FC::eq("a", kNan),
      FC::eq("a", -3), FC::ne("a", 5u), FC::ne("b", "red"), FC::gt("a", 1u), FC::gte("a", 1.0),
      FC::lt("b", 0), FC::lte("b", k2p53), FC::gt("a", "red"), FC::gte("a", kNan),
      FC::in("a", {Json(5u), Json("red"), Json(nullptr), Json(2.5)}), FC::in("b", {}),
      FC::contains("a", "red"), FC::contains("b", ""), FC::exists("c.d"), FC::exists("nowhere"),
      FC::eq("nowhere", 1u)};
  const size_t leaves = out.size();
  for (size_t i = 0; i + 1 < leaves; i += 3) {
    out.push_back(FC(out[i]) && FC(out[i + 1]));
    out.push_back(FC(out[i]) || !FC(out[i + 2]));
    out.push_back(!(FC(out[i + 1]) && (FC(out[i + 2]) || FC::exists("b"))));
  }
  return out;
}

TEST(ColumnMatcher, AgreesWithPayloadMatching) {
  // 150 entries: words of 64, 64 and a partial 22, also read at odd offsets.
  const auto payloads = varied_payloads(150, 11);
  std::map<std::string, std::vector<FieldValue>> columns;
  auto column = [&](const std::string& key) {
    auto [it, fresh] = columns.try_emplace(key);
    if (fresh) {
      for (const Payload& p : payloads) {
        auto f = p.data.find(key);
        it->second.push_back(FieldValue::of(f == p.data.end() ? nullptr : &f->second));
      }
    }
    return it->second.data();
  };
  for (const FC& c : column_conditions()) {
    const ColumnMatcher matcher(c, column);
    for (auto [base, count] : {std::pair<size_t, size_t>{0, 64}, {64, 64}, {128, 22}, {5, 1}, {70, 63}}) {
      const uint64_t w = matcher.match_word(base, count);
      for (size_t i = 0; i < 64; ++i) {
        const bool want = i < count && c.matches(payloads[base + i]);
        ASSERT_EQ((w >> i) & 1, want ? 1u : 0u) << "entry " << base + i << " of condition kind "
                                                 << static_cast<int>(c.kind());
      }
    }
  }
}

TEST(ColumnMatcher, DeepTreeWithoutRecursion) {
  FC c = FC::exists("a");
  for (int i = 0; i < 100000; ++i) c = !std::move(c);
  FC o = FC::eq("a", 5u);
  for (int i = 0; i < 100000; ++i) o = FC::eq("a", uint64_t(i) + 1000) || std::move(o);
  const auto payloads = varied_payloads(64, 3);
  std::vector<FieldValue> col;
  for (const Payload& p : payloads) {
    auto f = p.data.find("a");
    col.push_back(FieldValue::of(f == p.data.end() ? nullptr : &f->second));
  }
  for (const FC* cond : {&c, &o}) {
    const ColumnMatcher matcher(*cond, [&](const std::string&) { return col.data(); });
    const uint64_t w = matcher.match_word(0, 64);
    for (size_t i = 0; i < 64; ++i) EXPECT_EQ((w >> i) & 1, cond->matches(payloads[i]) ? 1u : 0u);
  }
}

// ---- filtered search against an oracle (filter, then sort everything) -------

struct Entry {
  uint64_t id;
  std::vector<float> v;
  Payload payload;
};

std::vector<Entry> make_entries(size_t n, uint64_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  const char* colors[] = {"red", "green", "blue"};
  std::vector<Entry> out;
  for (size_t i = 0; i < n; ++i) {
    Entry e{i * 3 + 1, std::vector<float>(dim), {}};
    for (float& x : e.v) x = u(rng);
    if (i % 7 != 0) {  // some entries carry no payload at all
      e.payload.data["color"] = colors[rng() % 3];
      e.payload.data["n"] = static_cast<uint64_t>(rng() % 100);
      if (i % 5 == 0) e.payload.data["tag"] = "t" + std::to_string(i % 11);
    }
    out.push_back(std::move(e));
  }
  return out;
}

// The oracle: every matching entry with its reference distance, sorted.
std::vector<std::pair<float, uint64_t>> oracle(const std::vector<Entry>& entries, DistanceMetric metric,
                                               const std::vector<float>& q, const Filter* f) {
  std::vector<std::pair<float, uint64_t>> all;
  for (const Entry& e : entries) {
    if (f && !f->matches(e.payload)) continue;
    all.push_back({distance(metric, q, e.v), e.id});
  }
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return all;
}

struct SearchCase {
  const char* name;
  DistanceMetric metric;
  uint64_t k;
};

class FilteredSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(FilteredSearch, EqualsFilterThenFullSort) {
  const SearchCase& sc = GetParam();
  const uint64_t dim = 19;
  auto entries = make_entries(700, dim, 42);
  BruteForceIndex index(sc.metric, dim);
  std::map<uint64_t, const Entry*> by_id;
  for (const Entry& e : entries) {
    ASSERT_TRUE(index.insert(e.id, e.v, e.payload).ok());
    by_id[e.id] = &e;
  }
  std::vector<Filter> filters = {
      Filter::eq("color", "red"),
      Filter(FC::lt("n", 10u) && FC::ne("color", "blue")),
      Filter(!FC::exists("color")),
      Filter(FC::in("n", {Json(3u), Json(50u), Json(99u)}) || FC::contains("tag", "t1")),
      Filter::gt("n", 1000u),  // matches nothing
      Filter::exists("nothing-here"),
  };
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int qi = 0; qi < 5; ++qi) {
    std::vector<float> q(dim);
    for (float& x : q) x = u(rng);
    for (const Filter& f : filters) {
      auto want = oracle(entries, sc.metric, q, &f);
      auto got = index.search(q, sc.k, &f, true);
      ASSERT_EQ(got.size(), std::min<size_t>(sc.k, want.size()));
      for (size_t i = 0; i < got.size(); ++i) {
        const Entry& e = *by_id.at(got[i].id);
        EXPECT_TRUE(f.matches(e.payload));
        EXPECT_EQ(got[i].distance, distance(sc.metric, q, e.v));
        EXPECT_EQ(got[i].distance, want[i].first);  // same ranks, up to ties
        ASSERT_TRUE(got[i].payload.has_value());
        EXPECT_EQ(*got[i].payload, e.payload);
      }
      auto batch = index.search_batch(q, 1, sc.k, &f, false);
      ASSERT_EQ(batch.size(), 1u);
      ASSERT_EQ(batch[0].size(), got.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(batch[0][i].distance, got[i].distance);
        EXPECT_FALSE(batch[0][i].payload.has_value());
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Index, FilteredSearch,
                         ::testing::Values(SearchCase{"EuclideanK1", DistanceMetric::Euclidean, 1},
                                           SearchCase{"EuclideanK10", DistanceMetric::Euclidean, 10},
                                           SearchCase{"CosineK25", DistanceMetric::Cosine, 25},
                                           SearchCase{"DotK10", DistanceMetric::DotProduct, 10},
                                           SearchCase{"EuclideanKAll", DistanceMetric::Euclidean, 100000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FilteredSearchEdge, NearerNonMatchingEntriesTakeNoPlace) {
  BruteForceIndex index(DistanceMetric::Euclidean, 1);
  for (uint64_t id = 1; id <= 10; ++id) {
    Payload p;
    if (id > 5) p.data["keep"] = true;
    ASSERT_TRUE(index.insert(id, std::vector<float>{float(id)}, p).ok());
  }
  Filter keep = Filter::eq("keep", true);
  auto r = index.search(std::vector<float>{0.0f}, 2, &keep);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].id, 6u);
  EXPECT_EQ(r[1].id, 7u);
  Filter none = Filter::eq("keep", false);
  EXPECT_TRUE(index.search(std::vector<float>{0.0f}, 3, &none).empty());
}

}  // namespace
}  // namespace orvex
