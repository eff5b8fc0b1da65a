// Reading an entry text: a small hand-written parser for the four members
// (any order, whitespace between tokens, other members skipped), with the
// payload handed to the payload reader.
#include <charconv>
#include <cstring>
#include <cmath>
#include <limits>
#include <optional>

#include "wal.h"

namespace orvex {
namespace {

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                              1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether the eight bytes of `chunk` (little-endian) are all ASCII digits.
inline bool eight_digits(uint64_t chunk) {
  return ((chunk & 0xF0F0F0F0F0F0F0F0u) |
          (((chunk + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) >> 4)) == 0x3333333333333333u;
}

// The value of eight ASCII digits, first digit most significant.
inline uint64_t parse_eight_digits(uint64_t chunk) {
  uint64_t v = chunk - 0x3030303030303030u;
  v = (v * 10) + (v >> 8);
  v = (((v & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
       (((v >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >> 32;
  return v & 0xFFFFFFFFu;
}

// What parse_number found.
enum class NumberScan { Ok, NotANumber, TooBig };

// Reads the JSON number at p (grammar -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)
// as the nearest 32-bit float and sets `next` past it. Common texts take a
// fast path that is exact: the decimal significand and power of ten are
// exact doubles, so one multiplication or division rounds correctly to
// double, and rounding that double to float is correct unless it lies
// exactly halfway between two floats (then, and for everything unusual,
// std::from_chars decides).
NumberScan parse_number(const char* p, const char* end, float& out, const char*& next) {
  const char* start = p;
  const bool negative = p < end && *p == '-';
  if (negative) ++p;
  if (p == end || !is_digit(*p)) return NumberScan::NotANumber;
  uint64_t w = 0;  // the significand, while it stays exact
  int exp10 = 0;
  bool exact = true;
  constexpr uint64_t kDigitRoom = 1844674407370955160u;   // w * 10 + 9 still fits
  constexpr uint64_t kEightRoom = 184467440737u;          // w * 10^8 + 99999999 still fits
  if (*p == '0') {
    ++p;
  } else {
    for (; p < end && is_digit(*p); ++p) {
      if (w < kDigitRoom) {
        w = w * 10 + static_cast<uint64_t>(*p - '0');
      } else {
        exact = false;
        ++exp10;
      }
    }
  }
  if (p < end && *p == '.') {
    ++p;
    if (p == end || !is_digit(*p)) return NumberScan::NotANumber;
    // Eight digits at a time while they are there (the common case).
    while (end - p >= 8 && w < kEightRoom) {
      uint64_t chunk;
      std::memcpy(&chunk, p, 8);
      if (!eight_digits(chunk)) break;
      w = w * 100000000 + parse_eight_digits(chunk);
      exp10 -= 8;
      p += 8;
    }
    for (; p < end && is_digit(*p); ++p) {
      if (w < kDigitRoom) {
        w = w * 10 + static_cast<uint64_t>(*p - '0');
        --exp10;
      } else {
        exact = false;
      }
    }
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exp_negative = false;
    if (p < end && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
    if (p == end || !is_digit(*p)) return NumberScan::NotANumber;
    int e = 0;
    for (; p < end && is_digit(*p); ++p) {
      if (e < 100000) e = e * 10 + (*p - '0');
    }
    exp10 += exp_negative ? -e : e;
  }
  next = p;
  if (w == 0 && exact) {
    out = negative ? -0.0f : 0.0f;
    return NumberScan::Ok;
  }
  if (exact && w <= (uint64_t{1} << 53) && exp10 >= -22 && exp10 <= 22) {
    double d = static_cast<double>(w);
    d = exp10 < 0 ? d / kPow10[-exp10] : d * kPow10[exp10];
    const float f = static_cast<float>(d);
    // In the normal range a double lies halfway between two floats exactly
    // when its 29 bits below float precision are 1000...0.
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    const bool tie = (bits & 0x1FFFFFFFu) == 0x10000000u;
    if (!tie && d >= static_cast<double>(std::numeric_limits<float>::min()) &&
        std::fabs(f) <= std::numeric_limits<float>::max()) {
      out = negative ? -f : f;
      return NumberScan::Ok;
    }
  }
  auto res = std::from_chars(start, p, out);
  if (res.ec == std::errc::result_out_of_range) {
    // Too small for a float rounds toward zero; too large is refused.
    double d;
    auto wide = std::from_chars(start, p, d);
    if (wide.ec != std::errc() || std::fabs(d) > std::numeric_limits<float>::max()) return NumberScan::TooBig;
    out = static_cast<float>(d);
  } else if (res.ec != std::errc() || res.ptr != p) {
    return NumberScan::NotANumber;
  }
  return NumberScan::Ok;
}

class EntryParser {
 public:
  explicit EntryParser(std::string_view text) : s_(text) {}

  Result<WalEntry> parse() {
    WalEntry entry;
    bool seen_kind = false, seen_id = false, seen_vector = false, seen_payload = false;
    skip_ws();
    if (!take('{')) return fail("expected `{` at offset " + std::to_string(i_));
    skip_ws();
    if (!take('}')) {
      for (;;) {
        skip_ws();
        std::optional<std::string> key = read_string();
        if (!key) return fail(error_.empty() ? "expected a member name at offset " + std::to_string(i_) : error_);
        skip_ws();
        if (!take(':')) return fail("expected `:` at offset " + std::to_string(i_));
        skip_ws();
        if (*key == "kind") {
          if (seen_kind) return fail("duplicate field `kind`");
          seen_kind = true;
          ORVEX_TRY(read_kind(entry.kind));
        } else if (*key == "id") {
          if (seen_id) return fail("duplicate field `id`");
          seen_id = true;
          ORVEX_TRY(read_id(entry.id));
        } else if (*key == "vector") {
          if (seen_vector) return fail("duplicate field `vector`");
          seen_vector = true;
          ORVEX_TRY(read_vector(entry.vector));
        } else if (*key == "payload") {
          if (seen_payload) return fail("duplicate field `payload`");
          seen_payload = true;
          ORVEX_TRY(read_payload(entry.payload));
        } else {
          ORVEX_TRY(skip_value());
        }
        skip_ws();
        if (take(',')) continue;
        if (take('}')) break;
        return fail("expected `,` or `}` at offset " + std::to_string(i_));
      }
    }
    skip_ws();
    if (i_ != s_.size()) return fail("trailing characters at offset " + std::to_string(i_));
    if (!seen_kind) return fail("missing field `kind`");
    if (!seen_id) return fail("missing field `id`");
    if (!seen_vector) return fail("missing field `vector`");
    if (!seen_payload) return fail("missing field `payload`");
    return entry;
  }

 private:
  static Error fail(const std::string& cause) { return Error::wal_corrupted("deserialization failed: " + cause); }

  void skip_ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool take(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  // Extent of the string token at i_ (which is '"'), including its quotes;
  // npos if it is not closed. Sets `plain` when it holds only printable
  // ASCII without escapes.
  size_t string_end(bool& plain) const {
    plain = true;
    size_t k = i_ + 1;
    while (k < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[k]);
      if (c == '"') return k + 1;
      if (c == '\\') {
        plain = false;
        k += 2;
        continue;
      }
      if (c < 0x20 || c >= 0x80) plain = false;
      ++k;
    }
    return std::string_view::npos;
  }

  // Reads a JSON string; on failure sets error_ and returns nullopt.
  std::optional<std::string> read_string() {
    error_.clear();
    if (i_ >= s_.size() || s_[i_] != '"') return std::nullopt;
    bool plain;
    size_t end = string_end(plain);
    if (end == std::string_view::npos) {
      error_ = "unterminated string at offset " + std::to_string(i_);
      return std::nullopt;
    }
    std::string_view token = s_.substr(i_, end - i_);
    i_ = end;
    if (plain) return std::string(token.substr(1, token.size() - 2));
    // Escapes, control characters or non-ASCII: let the JSON library decode
    // and check it.
    try {
      return Json::parse(token).get<std::string>();
    } catch (const Json::exception& e) {
      error_ = e.what();
    } catch (const std::bad_alloc&) {
      error_ = "out of memory";
    }
    return std::nullopt;
  }

  Status read_kind(WalEntryKind& kind) {
    std::optional<std::string> name = read_string();
    if (!name) {
      return fail(error_.empty() ? "invalid type: field `kind` must be a string (offset " + std::to_string(i_) + ")"
                                 : error_);
    }
    if (*name == "Insert") kind = WalEntryKind::Insert;
    else if (*name == "Update") kind = WalEntryKind::Update;
    else if (*name == "Delete") kind = WalEntryKind::Delete;
    else if (*name == "Checkpoint") kind = WalEntryKind::Checkpoint;
    else return fail("unknown variant `" + *name + "`, expected one of `Insert`, `Update`, `Delete`, `Checkpoint`");
    return ok_status();
  }

  // Extent of a number token at i_ that follows the JSON grammar
  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?; 0 if there is none.
  size_t number_length() const {
    size_t k = i_;
    const auto digit = [&](size_t at) { return at < s_.size() && s_[at] >= '0' && s_[at] <= '9'; };
    if (k < s_.size() && s_[k] == '-') ++k;
    if (!digit(k)) return 0;
    if (s_[k] == '0') {
      ++k;
    } else {
      while (digit(k)) ++k;
    }
    if (k < s_.size() && s_[k] == '.') {
      ++k;
      if (!digit(k)) return 0;
      while (digit(k)) ++k;
    }
    if (k < s_.size() && (s_[k] == 'e' || s_[k] == 'E')) {
      ++k;
      if (k < s_.size() && (s_[k] == '+' || s_[k] == '-')) ++k;
      if (!digit(k)) return 0;
      while (digit(k)) ++k;
    }
    return k - i_;
  }

  Status read_id(uint64_t& id) {
    const size_t len = number_length();
    const std::string_view token = s_.substr(i_, len);
    const bool integer = len > 0 && token.find_first_of("-.eE") == std::string_view::npos;
    const auto parsed = integer ? std::from_chars(token.data(), token.data() + len, id) : std::from_chars_result{};
    if (!integer || parsed.ec != std::errc() || parsed.ptr != token.data() + len) {
      return fail("invalid value for field `id` at offset " + std::to_string(i_) +
                  ": expected a non-negative integer that fits 64 bits");
    }
    i_ += len;
    return ok_status();
  }

  // Reads one component; on failure returns false with error_ set.
  bool read_component(std::vector<float>& out) {
    float v;
    const char* next = nullptr;
    const NumberScan scan = parse_number(s_.data() + i_, s_.data() + s_.size(), v, next);
    if (scan == NumberScan::Ok) [[likely]] {
      out.push_back(v);
      i_ = static_cast<size_t>(next - s_.data());
      return true;
    }
    if (scan == NumberScan::NotANumber) {
      error_ = "invalid type: vector component " + std::to_string(out.size()) + " at offset " + std::to_string(i_) +
               " is not a number";
    } else {
      error_ = "vector component " + std::to_string(out.size()) + " (" +
               std::string(s_.substr(i_, static_cast<size_t>(next - s_.data()) - i_)) +
               ") is out of range for a 32-bit float";
    }
    return false;
  }

  Status read_vector(std::vector<float>& out) {
    if (!take('[')) return fail("invalid type: field `vector` must be an array (offset " + std::to_string(i_) + ")");
    try {
      // Components gather in a reused scratch vector; the entry gets an
      // exactly sized copy.
      thread_local std::vector<float> scratch;
      scratch.clear();
      skip_ws();
      if (take(']')) {
        out.clear();
        return ok_status();
      }
      for (;;) {
        skip_ws();
        if (!read_component(scratch)) return fail(error_);
        skip_ws();
        if (take(',')) continue;
        if (take(']')) {
          out.assign(scratch.begin(), scratch.end());
          if (scratch.capacity() > (size_t{1} << 20)) std::vector<float>().swap(scratch);
          return ok_status();
        }
        return fail("expected `,` or `]` at offset " + std::to_string(i_));
      }
    } catch (const std::bad_alloc&) {
      return fail("out of memory");
    }
  }

  // Extent of the JSON value at i_, found by its brackets and strings
  // (checked afterwards by whoever reads it); 0 if it cannot be delimited.
  size_t value_length() const {
    size_t k = i_;
    size_t depth = 0;
    while (k < s_.size()) {
      const char c = s_[k];
      if (c == '"') {
        ++k;
        while (k < s_.size() && s_[k] != '"') k += (s_[k] == '\\') ? 2 : 1;
        if (k >= s_.size()) return 0;
        ++k;
      } else if (c == '{' || c == '[') {
        ++depth;
        ++k;
      } else if (c == '}' || c == ']') {
        if (depth == 0) break;
        --depth;
        ++k;
      } else if (depth == 0 && (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
        break;
      } else {
        ++k;
      }
      if (depth == 0 && (c == '"' || c == '}' || c == ']')) break;
    }
    if (depth != 0) return 0;
    return k - i_;
  }

  Status read_payload(Payload& payload) {
    const size_t len = value_length();
    if (len == 0) return fail("invalid value for field `payload` at offset " + std::to_string(i_));
    Result<Payload> decoded = parse_payload_text(s_.substr(i_, len));
    if (!decoded.ok()) return fail(decoded.error().text());
    payload = std::move(decoded).value();
    i_ += len;
    return ok_status();
  }

  Status skip_value() {
    const size_t len = value_length();
    bool valid = false;
    if (len > 0) {
      try {
        valid = Json::accept(s_.substr(i_, len));
      } catch (const std::bad_alloc&) {
        return fail("out of memory");
      }
    }
    if (!valid) return fail("invalid value at offset " + std::to_string(i_));
    i_ += len;
    return ok_status();
  }

  std::string_view s_;
  size_t i_ = 0;
  std::string error_;
};

}  // namespace

Result<WalEntry> Wal::from_bytes(std::string_view data) {
  try {
    return EntryParser(data).parse();
  } catch (const std::bad_alloc&) {
    return Error::wal_corrupted("deserialization failed: out of memory");
  }
}

}  // namespace orvex
