#include "error.h"

#include <cstring>

namespace orvex {

std::string Error::to_string() const {
  switch (kind_) {
    case Kind::DimensionMismatch:
      return "dimension mismatch: expected " + std::to_string(a_) + ", got " + std::to_string(b_);
    case Kind::DuplicateId:
      return "duplicate vector id: " + std::to_string(a_);
    case Kind::NotFound:
      return "vector not found: " + std::to_string(a_);
    case Kind::InvalidFilter:
      return "invalid filter: " + text_;
    case Kind::PayloadError:
      return "payload error: " + text_;
    case Kind::EmptyVector:
      return "empty vector not allowed";
    case Kind::Io:
      return "io error: " + text_;
    case Kind::WalCorrupted:
      return "WAL corrupted: " + text_;
    case Kind::CollectionError:
      return "collection error: " + text_;
  }
  return "unknown error";
}

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* msg = strerror_r(errnum, buf, sizeof buf);
  return std::string(msg) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace orvex
