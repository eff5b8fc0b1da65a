// The fixed text forms of the core: meta.json and error messages.
#include "meta_file.h"
#include "payload.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace orvex {
namespace {

TEST(MetaText, ExactLayoutAndRoundTrip) {
  auto text = render_meta({128, "Cosine", 0, 1});
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(*text, "{\n  \"dimension\": 128,\n  \"metric\": \"Cosine\",\n  \"vector_count\": 0,\n  \"next_id\": 1\n}");
  EXPECT_EQ(text->size(), 81u);
  const CollectionMeta max{~uint64_t{0}, "Hamming \"\xc3\xa9\"", ~uint64_t{0}, ~uint64_t{0}};
  auto back = parse_meta(render_meta(max).value());
  ASSERT_TRUE(back.ok()) << back.error().text();
  EXPECT_EQ(*back, max);
  EXPECT_FALSE(render_meta({1, "\xff", 0, 1}).ok());
}

// Accepted texts with their values; refused ones with part of the description.
TEST(MetaText, Parse) {
  const struct { const char* text; CollectionMeta want; const char* error = nullptr; } cases[] = {
      {"{\"dimension\":4,\"metric\":\"Cosine\",\"vector_count\":0,\"next_id\":1}\n", {4, "Cosine", 0, 1}},
      {" \t\r\n{ \"next_id\" : 9 , \"metric\":\"x\",\n\"vector_count\":2,\"dimension\":3 } \n ", {3, "x", 2, 9}},
      {R"({"extra":{"dimension":[1,{"a":-1.5}]},"dimension":4,"metric":"","vector_count":7,"next_id":8,"z":null})",
       {4, "", 7, 8}},
      {R"([4, "Cosine", 0, 1])", {4, "Cosine", 0, 1}},
      {R"({"dimension":4,"metric":"Cosine","vector_count":0})", {}, "missing field `next_id`"},
      {R"({"dimension":4,"x":1,"dimension":4,"metric":"a","vector_count":0,"next_id":1})", {}, "duplicate field `dimension`"},
      {R"({"dimension":-1,"metric":"a","vector_count":0,"next_id":1})", {}, "dimension"},
      {R"({"dimension":3.5,"metric":"a","vector_count":0,"next_id":1})", {}, "dimension"},
      {R"({"dimension":4.0,"metric":"a","vector_count":0,"next_id":1})", {}, "dimension"},
      {R"({"dimension":4,"metric":"a","vector_count":0,"next_id":18446744073709551616})", {}, "next_id"},
      {R"({"dimension":"4","metric":"a","vector_count":0,"next_id":1})", {}, "dimension"},
      {R"({"dimension":4,"metric":1,"vector_count":0,"next_id":1})", {}, "metric"},
      {R"({"dimension":4,"metric":"a","vector_count":null,"next_id":1})", {}, "vector_count"},
      {R"([4, "Cosine", 0])", {}, "struct CollectionMeta with 4 elements"},
      {"{\"dimension\":4,\"metric\":\"a\",\"vector_count\":0,\"next_id\":1}x", {}, "parse error"},
  };
  for (const auto& c : cases) {
    auto meta = parse_meta(c.text);
    ASSERT_EQ(meta.ok(), c.error == nullptr) << c.text << ": " << (meta.ok() ? "" : meta.error().text());
    if (meta.ok()) EXPECT_EQ(*meta, c.want) << c.text;
    if (!meta.ok()) EXPECT_NE(meta.error().text().find(c.error), std::string::npos) << c.text << ": " << meta.error().text();
  }
}

TEST(ErrorText, EveryVariant) {
  const std::pair<Error, const char*> cases[] = {
      {Error::dimension_mismatch(3, 2), "dimension mismatch: expected 3, got 2"},
      {Error::duplicate_id(~uint64_t{0}), "duplicate vector id: 18446744073709551615"},
      {Error::not_found(0), "vector not found: 0"},
      {Error::invalid_filter("x"), "invalid filter: x"},
      {Error::payload_error("x"), "payload error: x"},
      {Error::empty_vector(), "empty vector not allowed"},
      {Error::io(""), "io error: "},
      {Error::io("a\nb \xc3\xa9"), "io error: a\nb \xc3\xa9"},
      {Error::wal_corrupted("x"), "WAL corrupted: x"},
      {Error::collection("x"), "collection error: x"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.to_string(), text);
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace orvex
