#include "payload.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvex {
namespace {

Payload one(const std::string& key, Json value) { return Payload{{{key, std::move(value)}}}; }

// The exact bytes of one value inside {"data":{"k":...}}, appended after what
// the output holds.
TEST(PayloadText, ExactBytes) {
  const std::pair<Json, std::string> cases[] = {
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x01\x0b\x1f", 4), R"("\u0000\u0001\u000b\u001f")"},
      {"/\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"/\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
      {Json::parse(R"({"b":1,"a":{"d":[{"y":1,"x":2}],"c":3},"B":3,"\u00e9":4,"aa":5})"),
       "{\"B\":3,\"a\":{\"c\":3,\"d\":[{\"x\":2,\"y\":1}]},\"aa\":5,\"b\":1,\"\xc3\xa9\":4}"},
      {Json::parse("[true,false,null,[],{}]"), "[true,false,null,[],{}]"},
      {std::numeric_limits<uint64_t>::max(), "18446744073709551615"},
      {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
      {int64_t{5}, "5"}, {1.0, "1.0"}, {-0.0, "-0.0"}, {0.1, "0.1"}, {-2.5, "-2.5"}, {1e100, "1e+100"}, {5e-324, "5e-324"},
  };
  for (const auto& [value, text] : cases) {
    std::string out = "xy";
    ASSERT_TRUE(append_payload_text(one("k", value), out).ok()) << text;
    EXPECT_EQ(out, "xy{\"data\":{\"k\":" + text + "}}");
  }
}

// Invalid UTF-8 (in a value, a nested key, a top-level key), non-finite floats.
TEST(PayloadText, RefusalLeavesTheOutputAsItWas) {
  for (const Json& bad : {Json("a\xc3"), Json("\xc0\xaf"), Json("\xed\xa0\x80"), Json::object({{"\xff", 1}}),
                          Json(NAN), Json::array({1, -INFINITY})}) {
    for (Payload p : {one("k", bad), one("\xfe", 1)}) {
      p.data.emplace("a", 1);  // a valid member may come first
      std::string out = "keep";
      const Status st = append_payload_text(p, out);
      ASSERT_FALSE(st.ok()) << bad.dump();
      EXPECT_EQ(st.error().kind(), Error::Kind::PayloadError);
      EXPECT_EQ(out, "keep");
    }
  }
}

TEST(PayloadText, ParseRules) {
  const std::string deep = "{\"data\":{\"k\":" + std::string(200000, '[') + std::string(200000, ']') + "}}";
  const std::pair<std::string, std::string> cases[] = {  // the text written back, or part of the error
      {" {\n \"data\" : { } }\t", R"({"data":{}})"},
      {R"({"x":{"data":5},"data":{"data":{"a":[1,2.5]}},"y":[1]})", R"({"data":{"data":{"a":[1,2.5]}}})"},
      {R"({"data":{"a":18446744073709551616}})", R"({"data":{"a":18446744073709551616.0}})"},
      {deep, deep},  // nesting costs no stack
      {R"({"data":{},"data":{"a":1}})", "duplicate field `data`"},
      {R"({"date":{}})", "missing field `data`"},
      {R"({"data":[1]})", "field `data` is not an object"},
      {"[1]", "expected a JSON object"},
      {R"({"data":{}} x)", "parse error"},
      {"", "parse error"},
      {"{\"data\":{\"a\":\"\xc3\"}}", "parse error"},
  };
  for (const auto& [text, result] : cases) {
    const auto p = parse_payload_text(text);
    std::string out;
    if (result[0] == '{') {
      ASSERT_TRUE(p.ok()) << text;
      ASSERT_TRUE(append_payload_text(p.value(), out).ok());
      EXPECT_EQ(out, result);
    } else {
      ASSERT_FALSE(p.ok()) << text;
      EXPECT_EQ(p.error().kind(), Error::Kind::PayloadError);
      EXPECT_NE(p.error().text().find(result), std::string::npos) << p.error().text();
    }
  }
}

}  // namespace
}  // namespace orvex
