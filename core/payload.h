// Payload: the JSON object stored beside every vector, and its text form.
//
// A Payload maps top-level text keys to JSON values (nlohmann::json: objects
// keep members ordered by key; numbers are held as unsigned, negative signed
// or double). An empty map stands for "no payload".
//
// The payload text is `{"data":{...}}`: compact, nested object members in
// byte-wise key order, the fixed string escapes, shortest round-trip numbers.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "error.h"

namespace orvex {

using Json = nlohmann::json;

struct Payload {
  std::unordered_map<std::string, Json> data;

  bool empty() const { return data.empty(); }
  bool operator==(const Payload&) const = default;
};

// The text of an empty payload.
inline constexpr std::string_view kEmptyPayloadText = R"({"data":{}})";

// Appends the payload text of `payload` to `out`. On failure (a string that is
// not valid UTF-8, a non-finite float) `out` is left as it was and the error
// is a PayloadError whose text() is the cause alone; callers build their own
// prefixed error from that cause.
Status append_payload_text(const Payload& payload, std::string& out);

// Decodes a payload text: any JSON object with exactly one member "data"
// whose value is an object; other members are skipped; whitespace accepted;
// nothing but whitespace may follow. Errors as above (cause only).
Result<Payload> parse_payload_text(std::string_view text);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates, no
// code point past U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Writes the shortest decimal text that reads back as the same value, with
// ".0" after a whole number so that it reads back as a float ("2" -> "2.0"),
// and returns the end. At most 32 characters; the value must be finite.
char* write_float_text(char* out, float value);
char* write_float_text(char* out, double value);

}  // namespace orvex
