#include "payload.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

namespace orvex {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Length of the valid UTF-8 sequence at s[i], or 0 if it is not one
// (overlong forms, surrogates and code points past U+10FFFF are invalid).
size_t utf8_sequence_length(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  const auto cont = [&](size_t k, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return k < s.size() && byte(k) >= lo && byte(k) <= hi;
  };
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(i + 1) ? 2 : 0;
  if (c == 0xE0) return cont(i + 1, 0xA0) && cont(i + 2) ? 3 : 0;
  if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return cont(i + 1) && cont(i + 2) ? 3 : 0;
  if (c == 0xED) return cont(i + 1, 0x80, 0x9F) && cont(i + 2) ? 3 : 0;
  if (c == 0xF0) return cont(i + 1, 0x90) && cont(i + 2) && cont(i + 3) ? 4 : 0;
  if (c >= 0xF1 && c <= 0xF3) return cont(i + 1) && cont(i + 2) && cont(i + 3) ? 4 : 0;
  if (c == 0xF4) return cont(i + 1, 0x80, 0x8F) && cont(i + 2) && cont(i + 3) ? 4 : 0;
  return 0;
}

Status write_string(std::string_view s, std::string& out) {
  out.push_back('"');
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      size_t len = utf8_sequence_length(s, i);
      if (len == 0) {
        char msg[64];
        std::snprintf(msg, sizeof msg, "invalid UTF-8 byte at index %zu: 0x%02X", i, c);
        return Error::payload_error(msg);
      }
      out.append(s.substr(i, len));
      i += len;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
  return ok_status();
}

template <class Int>
void write_integer(Int v, std::string& out) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

template <class F>
char* write_shortest(char* out, F v) {
  char* start = out;
  out = std::to_chars(out, out + 32, v).ptr;
  for (char* p = start; p < out; ++p) {
    if (*p == '.' || *p == 'e') return out;
  }
  *out++ = '.';
  *out++ = '0';
  return out;
}

Status write_float(double v, std::string& out) {
  if (!std::isfinite(v)) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return Error::payload_error("number " + std::string(buf, res.ptr) + " is not finite and has no JSON text");
  }
  char buf[40];
  out.append(buf, write_shortest(buf, v));
  return ok_status();
}

// Writes one value without recursion, so nesting depth costs no stack.
Status write_value(const Json& root, std::string& out) {
  struct Frame {
    const Json* node;
    Json::object_t::const_iterator member;  // objects
    size_t index;                            // arrays
    bool first;
  };
  std::vector<Frame> stack;
  const Json* next = &root;
  for (;;) {
    if (next != nullptr) {
      const Json& v = *next;
      next = nullptr;
      switch (v.type()) {
        case Json::value_t::object:
          out.push_back('{');
          stack.push_back({&v, v.get_ref<const Json::object_t&>().begin(), 0, true});
          break;
        case Json::value_t::array:
          out.push_back('[');
          stack.push_back({&v, {}, 0, true});
          break;
        case Json::value_t::string: ORVEX_TRY(write_string(v.get_ref<const std::string&>(), out)); break;
        case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; break;
        case Json::value_t::null: out += "null"; break;
        case Json::value_t::number_unsigned: write_integer(v.get<uint64_t>(), out); break;
        case Json::value_t::number_integer: write_integer(v.get<int64_t>(), out); break;
        case Json::value_t::number_float: ORVEX_TRY(write_float(v.get<double>(), out)); break;
        case Json::value_t::binary: return Error::payload_error("binary values have no JSON text");
        case Json::value_t::discarded: return Error::payload_error("discarded values have no JSON text");
      }
    }
    if (stack.empty()) return ok_status();
    Frame& f = stack.back();
    if (f.node->is_object()) {
      const auto& obj = f.node->get_ref<const Json::object_t&>();
      if (f.member == obj.end()) {
        out.push_back('}');
        stack.pop_back();
        continue;
      }
      if (!f.first) out.push_back(',');
      f.first = false;
      ORVEX_TRY(write_string(f.member->first, out));
      out.push_back(':');
      next = &f.member->second;
      ++f.member;
    } else {
      const auto& arr = f.node->get_ref<const Json::array_t&>();
      if (f.index == arr.size()) {
        out.push_back(']');
        stack.pop_back();
        continue;
      }
      if (!f.first) out.push_back(',');
      f.first = false;
      next = &arr[f.index++];
    }
  }
}

struct DuplicateData {};

}  // namespace

bool is_valid_utf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t len = utf8_sequence_length(text, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

char* write_float_text(char* out, float value) { return write_shortest(out, value); }
char* write_float_text(char* out, double value) { return write_shortest(out, value); }

Status append_payload_text(const Payload& payload, std::string& out) {
  if (payload.data.empty()) {
    out.append(kEmptyPayloadText);
    return ok_status();
  }
  const size_t mark = out.size();
  try {
    out += R"({"data":{)";
    bool first = true;
    for (const auto& [key, value] : payload.data) {
      if (!first) out.push_back(',');
      first = false;
      Status st = write_string(key, out);
      if (st.ok()) {
        out.push_back(':');
        st = write_value(value, out);
      }
      if (!st.ok()) {
        out.resize(mark);
        return st;
      }
    }
    out += "}}";
    return ok_status();
  } catch (const std::bad_alloc&) {
    out.resize(mark);
    return Error::payload_error("out of memory");
  }
}

Result<Payload> parse_payload_text(std::string_view text) {
  if (text == kEmptyPayloadText) return Payload{};
  try {
    int data_members = 0;
    // Keeps only the top-level "data" member; a second one is refused
    // (the plain parser would silently keep the last).
    auto keep = [&](int depth, Json::parse_event_t event, Json& parsed) {
      if (event != Json::parse_event_t::key || depth != 1) return true;
      if (parsed.is_string() && parsed.get_ref<const std::string&>() == "data") {
        if (++data_members > 1) throw DuplicateData{};
        return true;
      }
      return false;
    };
    Json doc = Json::parse(text.begin(), text.end(), keep);
    if (!doc.is_object()) return Error::payload_error("invalid type: expected a JSON object");
    auto it = doc.find("data");
    if (it == doc.end()) return Error::payload_error("missing field `data`");
    if (!it->is_object()) return Error::payload_error("invalid type: field `data` is not an object");
    Payload payload;
    auto& members = it->get_ref<Json::object_t&>();
    payload.data.reserve(members.size());
    for (auto& [key, value] : members) payload.data.emplace(key, std::move(value));
    return payload;
  } catch (const DuplicateData&) {
    return Error::payload_error("duplicate field `data`");
  } catch (const Json::exception& e) {
    return Error::payload_error(e.what());
  } catch (const std::bad_alloc&) {
    return Error::payload_error("out of memory");
  }
}

}  // namespace orvex
