#include "meta_file.h"

#include <array>
#include <exception>
#include <optional>

#include <nlohmann/json.hpp>

namespace orvex {
namespace {

using Json = nlohmann::json;

constexpr std::array<std::string_view, 4> kFields = {"dimension", "metric", "vector_count", "next_id"};

// Reads the one top-level object (or four-element array) through the SAX
// interface, so that repeated keys and the kind of every number are seen as
// the text has them. Values below the top level are only counted in depth.
class MetaReader : public nlohmann::json_sax<Json> {
 public:
  // Sets the error and stops the parse.
  bool fail(std::string message) {
    if (!error_) error_ = std::move(message);
    return false;
  }

  bool null() override { return scalar("null", {}); }
  bool boolean(bool v) override { return scalar(v ? "boolean `true`" : "boolean `false`", {}); }
  bool number_integer(number_integer_t v) override {
    if (v >= 0) return unsigned_value(static_cast<uint64_t>(v));
    return scalar("negative integer `" + std::to_string(v) + "`", {});
  }
  bool number_unsigned(number_unsigned_t v) override { return unsigned_value(v); }
  bool number_float(number_float_t, const string_t& raw) override {
    return scalar("number `" + raw + "`", {});
  }
  bool string(string_t& v) override { return scalar("string", &v); }
  bool binary(binary_t&) override { return scalar("binary", {}); }

  bool start_object(std::size_t) override {
    if (depth_ == 0) {
      root_ = Root::Object;
    } else if (depth_ == 1 && !value_at_top("map")) {
      return false;
    }
    ++depth_;
    return true;
  }
  bool key(string_t& k) override {
    if (depth_ != 1) return true;
    current_ = -1;
    for (size_t i = 0; i < kFields.size(); ++i) {
      if (k == kFields[i]) current_ = static_cast<int>(i);
    }
    if (current_ >= 0 && seen_[current_]) {
      return fail("duplicate field `" + std::string(kFields[current_]) + "`");
    }
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 0) {
      root_ = Root::Array;
    } else if (depth_ == 1 && !value_at_top("sequence")) {
      return false;
    }
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    return fail(ex.what());
  }

  // After a parse that went through: the checks on the whole.
  Result<CollectionMeta> finish() {
    if (error_) return Error::collection(*error_);
    if (root_ == Root::Array && elements_ != kFields.size()) {
      return Error::collection("invalid length " + std::to_string(elements_) +
                               ", expected struct CollectionMeta with 4 elements");
    }
    for (size_t i = 0; i < kFields.size(); ++i) {
      if (!seen_[i]) return Error::collection("missing field `" + std::string(kFields[i]) + "`");
    }
    return meta_;
  }

  const std::optional<std::string>& error() const { return error_; }

 private:
  enum class Root { None, Object, Array };

  // A value that begins at depth 1 (a member of the root) or is the root.
  // Picks the field it fills: the current key's, or the array position.
  // Returns the field index, -1 to skip, or -2 after failing.
  int target() {
    if (root_ == Root::Array) {
      size_t pos = elements_++;
      return pos < kFields.size() ? static_cast<int>(pos) : -1;
    }
    int f = current_;
    current_ = -1;
    return f;
  }

  bool value_at_top(const std::string& what) {
    int f = target();
    if (f < 0) return true;
    return wrong_type(f, what);
  }

  bool wrong_type(int f, const std::string& what) {
    const char* expected = f == 1 ? "a string" : "an integer from 0 to 18446744073709551615";
    return fail("invalid type for field `" + std::string(kFields[f]) + "`: found " + what +
                ", expected " + expected);
  }

  bool scalar(const std::string& what, string_t* text) {
    if (depth_ == 0) return fail("invalid type: " + what + ", expected struct CollectionMeta");
    if (depth_ != 1) return true;
    int f = target();
    if (f < 0) return true;
    if (f != 1 || text == nullptr) return wrong_type(f, what);
    meta_.metric = std::move(*text);
    seen_[f] = true;
    return true;
  }

  bool unsigned_value(uint64_t v) {
    if (depth_ == 0) {
      return fail("invalid type: integer `" + std::to_string(v) + "`, expected struct CollectionMeta");
    }
    if (depth_ != 1) return true;
    int f = target();
    if (f < 0) return true;
    if (f == 1) return wrong_type(f, "integer `" + std::to_string(v) + "`");
    (f == 0 ? meta_.dimension : f == 2 ? meta_.vector_count : meta_.next_id) = v;
    seen_[f] = true;
    return true;
  }

  Root root_ = Root::None;
  int depth_ = 0;
  int current_ = -1;
  size_t elements_ = 0;
  std::array<bool, 4> seen_{};
  CollectionMeta meta_;
  std::optional<std::string> error_;
};

}  // namespace

Result<std::string> render_meta(const CollectionMeta& meta) {
  std::string metric;
  try {
    metric = Json(meta.metric).dump();
  } catch (const std::exception& e) {
    return Error::collection(e.what());
  }
  std::string out;
  out += "{\n  \"dimension\": " + std::to_string(meta.dimension) + ",\n";
  out += "  \"metric\": " + metric + ",\n";
  out += "  \"vector_count\": " + std::to_string(meta.vector_count) + ",\n";
  out += "  \"next_id\": " + std::to_string(meta.next_id) + "\n}";
  return out;
}

Result<CollectionMeta> parse_meta(std::string_view text) {
  MetaReader reader;
  try {
    Json::sax_parse(text.begin(), text.end(), &reader, nlohmann::detail::input_format_t::json, true);
  } catch (const std::exception& e) {  // std::bad_alloc on absurd input
    return Error::collection(e.what());
  }
  return reader.finish();
}

}  // namespace orvex
