#include "meta.h"
#include "payload.h"

#include <gtest/gtest.h>

#include <string>

namespace orvex {
namespace {

TEST(MetaRender, ExactLayout) {
  auto text = render_meta({128, "Cosine", 0, 1});
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(*text, "{\n  \"dimension\": 128,\n  \"metric\": \"Cosine\",\n  \"vector_count\": 0,\n  \"next_id\": 1\n}");
  EXPECT_EQ(text->size(), 81u);
}

TEST(MetaRender, RoundTripsExtremes) {
  CollectionMeta meta{~uint64_t{0}, "Hamming", 0, ~uint64_t{0}};
  auto text = render_meta(meta);
  ASSERT_TRUE(text.ok());
  auto back = parse_meta(*text);
  ASSERT_TRUE(back.ok()) << back.error().to_string();
  EXPECT_EQ(*back, meta);
}

TEST(MetaRender, InvalidUtf8MetricFails) {
  EXPECT_FALSE(render_meta({1, "\xff", 0, 1}).ok());
}

struct Accepted {
  const char* name;
  const char* text;
  CollectionMeta expected;
};

class MetaParseAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(MetaParseAccepts, Reads) {
  auto meta = parse_meta(GetParam().text);
  ASSERT_TRUE(meta.ok()) << meta.error().text();
  EXPECT_EQ(*meta, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Meta, MetaParseAccepts,
    ::testing::Values(
        Accepted{"TrailingNewline", "{\"dimension\":4,\"metric\":\"Cosine\",\"vector_count\":0,\"next_id\":1}\n",
                 {4, "Cosine", 0, 1}},
        Accepted{"OtherOrderAndWhitespace",
                 " \t\r\n{ \"next_id\" : 9 , \"metric\":\"x\",\n\"vector_count\":2,\"dimension\":3 } \n ",
                 {3, "x", 2, 9}},
        Accepted{"UnknownKeysSkipped",
                 R"({"extra":{"dimension":[1,{"a":-1.5}]},"dimension":4,"metric":"Hamming","vector_count":7,"next_id":8,"more":null})",
                 {4, "Hamming", 7, 8}},
        Accepted{"FourElementArray", R"([4, "Cosine", 0, 1])", {4, "Cosine", 0, 1}},
        Accepted{"MaxIntegers",
                 R"({"dimension":18446744073709551615,"metric":"","vector_count":0,"next_id":18446744073709551615})",
                 {~uint64_t{0}, "", 0, ~uint64_t{0}}},
        Accepted{"EscapedMetric", R"({"dimension":1,"metric":"a\"\u00e9","vector_count":0,"next_id":1})",
                 {1, "a\"\xc3\xa9", 0, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

struct Refused {
  const char* name;
  const char* text;
  const char* fragment;  // the description must contain this
};

class MetaParseRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(MetaParseRefuses, WithDescription) {
  auto meta = parse_meta(GetParam().text);
  ASSERT_FALSE(meta.ok());
  EXPECT_NE(meta.error().text().find(GetParam().fragment), std::string::npos) << meta.error().text();
}

INSTANTIATE_TEST_SUITE_P(
    Meta, MetaParseRefuses,
    ::testing::Values(
        Refused{"MissingNextId", R"({"dimension":4,"metric":"Cosine","vector_count":0})", "missing field `next_id`"},
        Refused{"MissingDimension", R"({"metric":"Cosine","vector_count":0,"next_id":1})", "missing field `dimension`"},
        Refused{"DuplicateMetric", R"({"dimension":4,"metric":"a","metric":"b","vector_count":0,"next_id":1})",
                "duplicate field `metric`"},
        Refused{"DuplicateAfterUnknown", R"({"dimension":4,"x":1,"dimension":4,"metric":"a","vector_count":0,"next_id":1})",
                "duplicate field `dimension`"},
        Refused{"NegativeDimension", R"({"dimension":-1,"metric":"a","vector_count":0,"next_id":1})", "dimension"},
        Refused{"FractionDimension", R"({"dimension":3.5,"metric":"a","vector_count":0,"next_id":1})", "dimension"},
        Refused{"DecimalPointInteger", R"({"dimension":4.0,"metric":"a","vector_count":0,"next_id":1})", "dimension"},
        Refused{"ExponentInteger", R"({"dimension":4,"metric":"a","vector_count":1e2,"next_id":1})", "vector_count"},
        Refused{"AboveU64", R"({"dimension":4,"metric":"a","vector_count":0,"next_id":18446744073709551616})", "next_id"},
        Refused{"StringDimension", R"({"dimension":"4","metric":"a","vector_count":0,"next_id":1})", "dimension"},
        Refused{"NumberMetric", R"({"dimension":4,"metric":1,"vector_count":0,"next_id":1})", "metric"},
        Refused{"ObjectMetric", R"({"dimension":4,"metric":{},"vector_count":0,"next_id":1})", "metric"},
        Refused{"NullNextId", R"({"dimension":4,"metric":"a","vector_count":0,"next_id":null})", "next_id"},
        Refused{"ShortArray", R"([4, "Cosine", 0])", "struct CollectionMeta with 4 elements"},
        Refused{"EmptyArray", "[]", "struct CollectionMeta with 4 elements"},
        Refused{"LongArray", R"([4, "Cosine", 0, 1, 5])", "invalid length 5"},
        Refused{"ArrayWrongType", R"(["4", "Cosine", 0, 1])", "dimension"},
        Refused{"ScalarRoot", "5", "expected struct CollectionMeta"},
        Refused{"TrailingGarbage", "{\"dimension\":4,\"metric\":\"a\",\"vector_count\":0,\"next_id\":1}x", "parse error"},
        Refused{"TwoValues", "[4,\"a\",0,1] [4,\"a\",0,1]", "parse error"},
        Refused{"Empty", "", "parse error"},
        Refused{"CutShort", "{\"dimension\":4,\"metric\":\"a\",\"vector_co", "parse error"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MetaUtf8, Validates) {
  EXPECT_TRUE(is_valid_utf8("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  for (const char* bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

}  // namespace
}  // namespace orvex
