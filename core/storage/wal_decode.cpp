// Reading an entry text: a small hand-written parser for the four members
// (any order, whitespace between tokens, other members skipped), with the
// payload handed to the payload reader.
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "wal.h"

namespace orvex {
namespace {

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

  Status read_component(std::vector<float>& out) {
    const size_t len = number_length();
    if (len == 0) {
      return fail("invalid type: vector component " + std::to_string(out.size()) + " at offset " +
                  std::to_string(i_) + " is not a number");
    }
    const char* first = s_.data() + i_;
    float v;
    auto res = std::from_chars(first, first + len, v);
    if (res.ec == std::errc::result_out_of_range) {
      // Too small for a float rounds toward zero; too large is refused.
      double d;
      auto wide = std::from_chars(first, first + len, d);
      if (wide.ec != std::errc() || std::fabs(d) > std::numeric_limits<float>::max()) {
        return fail("vector component " + std::to_string(out.size()) + " (" + std::string(first, len) +
                    ") is out of range for a 32-bit float");
      }
      v = static_cast<float>(d);
    } else if (res.ec != std::errc() || res.ptr != first + len) {
      return fail("invalid number at offset " + std::to_string(i_));
    }
    out.push_back(v);
    i_ += len;
    return ok_status();
  }

  Status read_vector(std::vector<float>& out) {
    if (!take('[')) return fail("invalid type: field `vector` must be an array (offset " + std::to_string(i_) + ")");
    try {
      out.reserve(std::min<size_t>(s_.size() / 2, 4096));
      skip_ws();
      if (take(']')) return ok_status();
      for (;;) {
        skip_ws();
        ORVEX_TRY(read_component(out));
        skip_ws();
        if (take(',')) continue;
        if (take(']')) return ok_status();
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
