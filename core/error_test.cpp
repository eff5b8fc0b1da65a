#include "error.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace orvex {
namespace {

TEST(ErrorText, EveryVariantHasItsFixedForm) {
  EXPECT_EQ(Error::dimension_mismatch(3, 2).to_string(), "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(Error::dimension_mismatch(0, 5).to_string(), "dimension mismatch: expected 0, got 5");
  EXPECT_EQ(Error::duplicate_id(18446744073709551615ull).to_string(),
            "duplicate vector id: 18446744073709551615");
  EXPECT_EQ(Error::not_found(0).to_string(), "vector not found: 0");
  EXPECT_EQ(Error::empty_vector().to_string(), "empty vector not allowed");
  EXPECT_EQ(Error::io("").to_string(), "io error: ");
  EXPECT_EQ(Error::wal_corrupted("x").to_string(), "WAL corrupted: x");
  EXPECT_EQ(Error::collection("x").to_string(), "collection error: x");
  EXPECT_EQ(Error::invalid_filter("x").to_string(), "invalid filter: x");
  EXPECT_EQ(Error::payload_error("x").to_string(), "payload error: x");
}

TEST(ErrorText, TextIsCopiedByteForByte) {
  const std::string odd = "line\nbreak \xc3\xa9 \"q\"";
  EXPECT_EQ(Error::io(odd).to_string(), "io error: " + odd);
}

TEST(ErrorText, OsErrorCarriesNumber) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  const std::string eacces = os_error_text(EACCES);
  EXPECT_NE(eacces.find(" (os error 13)"), std::string::npos);
}

TEST(ResultType, HoldsValueOrError) {
  Result<int> good = 4;
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value(), 4);
  Result<int> bad = Error::not_found(9);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), Error::Kind::NotFound);
  Status s;
  EXPECT_TRUE(s.ok());
  Status f = Error::empty_vector();
  EXPECT_FALSE(f.ok());
}

}  // namespace
}  // namespace orvex
