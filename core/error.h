// The one error type of the core, and the result type every fallible
// operation returns.
//
// An Error is a plain immutable value: it owns its text, may be copied and
// moved between threads, and its text form (to_string) is the only thing a
// consumer reads from it. Errors are never thrown across the core's API.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace orvex {

class Error {
 public:
  // Declared order of the variants; never reorder.
  enum class Kind : uint8_t {
    DimensionMismatch,
    DuplicateId,
    NotFound,
    InvalidFilter,
    PayloadError,
    EmptyVector,
    Io,
    WalCorrupted,
    CollectionError,
  };

  static Error dimension_mismatch(uint64_t expected, uint64_t got) {
    return Error(Kind::DimensionMismatch, expected, got, {});
  }
  static Error duplicate_id(uint64_t id) { return Error(Kind::DuplicateId, id, 0, {}); }
  static Error not_found(uint64_t id) { return Error(Kind::NotFound, id, 0, {}); }
  static Error invalid_filter(std::string text) { return Error(Kind::InvalidFilter, 0, 0, std::move(text)); }
  static Error payload_error(std::string text) { return Error(Kind::PayloadError, 0, 0, std::move(text)); }
  static Error empty_vector() { return Error(Kind::EmptyVector, 0, 0, {}); }
  static Error io(std::string text) { return Error(Kind::Io, 0, 0, std::move(text)); }
  static Error wal_corrupted(std::string text) { return Error(Kind::WalCorrupted, 0, 0, std::move(text)); }
  static Error collection(std::string text) { return Error(Kind::CollectionError, 0, 0, std::move(text)); }

  Kind kind() const { return kind_; }
  // For DimensionMismatch: expected and got. For DuplicateId / NotFound: the id (first).
  uint64_t first() const { return a_; }
  uint64_t second() const { return b_; }
  // The text of a text-bearing variant (empty for the others).
  const std::string& text() const { return text_; }

  // The error's text form, e.g. "dimension mismatch: expected 3, got 2".
  std::string to_string() const;

 private:
  Error(Kind kind, uint64_t a, uint64_t b, std::string text)
      : kind_(kind), a_(a), b_(b), text_(std::move(text)) {}

  Kind kind_;
  uint64_t a_;
  uint64_t b_;
  std::string text_;
};

// Text of an operating-system error number: the system's message followed by
// " (os error N)", e.g. "No such file or directory (os error 2)".
std::string os_error_text(int errnum);

// Fixed causes of the lower-level failures that are not system errors.
inline constexpr const char* kUnexpectedEof = "failed to fill whole buffer";
inline constexpr const char* kWriteZero = "failed to write whole buffer";

// Either a value of T or an Error. Check ok() before value().
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

// Success or an Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : e_(std::move(error)) {}  // NOLINT

  bool ok() const { return !e_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { return *e_; }
  Error&& error() && { return std::move(*e_); }

 private:
  std::optional<Error> e_;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

}  // namespace orvex

// Returns the error of a failed Status / Result from the enclosing function.
#define ORVEX_TRY(expr)                                  \
  do {                                                   \
    auto orvex_try_status_ = (expr);                     \
    if (!orvex_try_status_.ok()) return std::move(orvex_try_status_).error(); \
  } while (0)
