#include "payload.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvex {
namespace {

std::string text_of(const Payload& p) {
  std::string out;
  Status st = append_payload_text(p, out);
  EXPECT_TRUE(st.ok()) << st.error().to_string();
  return out;
}

Payload one(const std::string& key, Json value) {
  Payload p;
  p.data.emplace(key, std::move(value));
  return p;
}

TEST(PayloadText, EmptyPayloadIsTheConstant) {
  EXPECT_EQ(text_of(Payload{}), "{\"data\":{}}");
  Result<Payload> back = parse_payload_text("{\"data\":{}}");
  ASSERT_TRUE(back.ok());
  EXPECT_TRUE(back->empty());
}

TEST(PayloadText, AppendsAfterExistingBytes) {
  std::string out = "xy";
  ASSERT_TRUE(append_payload_text(one("a", 1), out).ok());
  EXPECT_EQ(out, "xy{\"data\":{\"a\":1}}");
}

struct WriteCase {
  const char* name;
  Json value;
  const char* text;  // the value's text inside {"data":{"k":...}}
};

class PayloadWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(PayloadWrite, ExactText) {
  const WriteCase& c = GetParam();
  EXPECT_EQ(text_of(one("k", c.value)), std::string("{\"data\":{\"k\":") + c.text + "}}");
}

INSTANTIATE_TEST_SUITE_P(
    Values, PayloadWrite,
    ::testing::Values(
        WriteCase{"quote_backslash", "a\"b\\c", R"("a\"b\\c")"},
        WriteCase{"short_escapes", "\b\t\n\f\r", R"("\b\t\n\f\r")"},
        WriteCase{"other_controls", std::string("\x01\x1f\x00", 3), R"("\u0001\u001f\u0000")"},
        WriteCase{"raw_slash_del_utf8", "/\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
                  "\"/\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        WriteCase{"nested_keys_bytewise", Json::parse(R"({"b":1,"a":2,"B":3,"\u00e9":4,"aa":5})"),
                  "{\"B\":3,\"a\":2,\"aa\":5,\"b\":1,\"\xc3\xa9\":4}"},
        WriteCase{"deeper_nesting", Json::parse(R"([{"z":[{"y":1,"x":2}]},[]])"),
                  R"([{"z":[{"x":2,"y":1}]},[]])"},
        WriteCase{"unsigned", Json(uint64_t{18446744073709551615u}), "18446744073709551615"},
        WriteCase{"negative", Json(int64_t{-9223372036854775807 - 1}), "-9223372036854775808"},
        WriteCase{"signed_positive", Json(int64_t{5}), "5"},
        WriteCase{"float_whole", Json(1.0), "1.0"},
        WriteCase{"float_negative_zero", Json(-0.0), "-0.0"},
        WriteCase{"float_shortest", Json(0.1), "0.1"},
        WriteCase{"float_big", Json(1e100), "1e+100"},
        WriteCase{"float_tiny", Json(5e-324), "5e-324"},
        WriteCase{"literals", Json::parse("[true,false,null]"), "[true,false,null]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PayloadText, ReadsBackTheSameValues) {
  Payload p;
  p.data["u"] = uint64_t{1};
  p.data["i"] = int64_t{-1};
  p.data["f"] = 1.0;
  p.data["nested"] = Json::parse(R"({"b":[1,2.5,"x"],"a":{"c":null}})");
  p.data["s"] = "line\nbreak \x01 \"q\"";
  Result<Payload> back = parse_payload_text(text_of(p));
  ASSERT_TRUE(back.ok()) << back.error().to_string();
  EXPECT_EQ(back.value(), p);
  // Integers and floats stay apart.
  EXPECT_TRUE(back->data["u"].is_number_unsigned());
  EXPECT_TRUE(back->data["i"].is_number_integer() && !back->data["i"].is_number_unsigned());
  EXPECT_TRUE(back->data["f"].is_number_float());
}

TEST(PayloadText, DeepNestingNeedsNoStack) {
  const size_t depth = 200000;
  std::string text = "{\"data\":{\"k\":" + std::string(depth, '[') + std::string(depth, ']') + "}}";
  Result<Payload> p = parse_payload_text(text);
  ASSERT_TRUE(p.ok()) << p.error().to_string();
  EXPECT_EQ(text_of(p.value()), text);
}

struct BadValue {
  const char* name;
  Json value;
  const char* cause_part;
};

class PayloadRefused : public ::testing::TestWithParam<BadValue> {};

TEST_P(PayloadRefused, LeavesOutputUntouched) {
  std::string out = "keep";
  Status st = append_payload_text(one("k", GetParam().value), out);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), Error::Kind::PayloadError);
  EXPECT_NE(st.error().text().find(GetParam().cause_part), std::string::npos) << st.error().text();
  EXPECT_EQ(out, "keep");
}

INSTANTIATE_TEST_SUITE_P(
    Values, PayloadRefused,
    ::testing::Values(BadValue{"nan", Json(std::nan("")), "not finite"},
                      BadValue{"inf", Json::array({1, -std::numeric_limits<double>::infinity()}), "not finite"},
                      BadValue{"bad_utf8", "a\xc3", "invalid UTF-8 byte at index 1: 0xC3"},
                      BadValue{"overlong", "\xc0\xaf", "invalid UTF-8"},
                      BadValue{"surrogate", "\xed\xa0\x80", "invalid UTF-8"},
                      BadValue{"bad_nested_key", Json::object({{"\xff", 1}}), "invalid UTF-8"},
                      BadValue{"binary", Json::binary({1, 2}), "binary"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PayloadText, BadTopLevelKeyRefused) {
  Payload p = one("\xfe", 1);
  std::string out;
  EXPECT_FALSE(append_payload_text(p, out).ok());
  EXPECT_TRUE(out.empty());
}

struct ReadCase {
  const char* name;
  const char* text;
  bool ok;
  const char* expect;  // ok: the re-encoded text; else: part of the cause
};

class PayloadRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(PayloadRead, Outcome) {
  const ReadCase& c = GetParam();
  Result<Payload> p = parse_payload_text(c.text);
  ASSERT_EQ(p.ok(), c.ok) << (p.ok() ? text_of(p.value()) : p.error().text());
  if (c.ok) {
    EXPECT_EQ(text_of(p.value()), c.expect);
  } else {
    EXPECT_EQ(p.error().kind(), Error::Kind::PayloadError);
    EXPECT_NE(p.error().text().find(c.expect), std::string::npos) << p.error().text();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PayloadRead,
    ::testing::Values(
        ReadCase{"whitespace", " {\n \"data\" : { \"a\" : [ 1 , 2 ] } }\t", true, R"({"data":{"a":[1,2]}})"},
        ReadCase{"extra_members", R"({"x":{"data":5},"data":{"a":1},"y":[1]})", true, R"({"data":{"a":1}})"},
        ReadCase{"nested_data_key_is_fine", R"({"data":{"data":{"data":1}}})", true,
                 R"({"data":{"data":{"data":1}}})"},
        ReadCase{"big_integer_becomes_float", R"({"data":{"a":18446744073709551616}})", true,
                 R"({"data":{"a":18446744073709551616.0}})"},
        ReadCase{"second_data", R"({"data":{},"data":{"a":1}})", false, "duplicate field `data`"},
        ReadCase{"missing_data", R"({"date":{}})", false, "missing field `data`"},
        ReadCase{"data_not_object", R"({"data":[1]})", false, "field `data` is not an object"},
        ReadCase{"not_object", "[1]", false, "expected a JSON object"},
        ReadCase{"trailing_garbage", R"({"data":{}} x)", false, "parse error"},
        ReadCase{"empty", "", false, "parse error"},
        ReadCase{"truncated", R"({"data":{"a")", false, "parse error"},
        ReadCase{"invalid_utf8", "{\"data\":{\"a\":\"\xc3\"}}", false, "parse error"},
        ReadCase{"number_overflow", R"({"data":{"a":1e400}})", false, "number overflow"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvex
