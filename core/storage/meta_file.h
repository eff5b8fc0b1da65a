// CollectionMeta: the settings and counters of a collection as kept in its
// meta.json, with the exact text it is written in and the rules it is read by.
//
// Written layout (no trailing newline), e.g. 81 bytes for a new collection of
// dimension 128 with the Cosine metric:
//   {
//     "dimension": 128,
//     "metric": "Cosine",
//     "vector_count": 0,
//     "next_id": 1
//   }
// Reading accepts any JSON whitespace and key order, skips unknown keys,
// refuses a key given twice ("duplicate field `NAME`") or missing ("missing
// field `NAME`"), takes the integers only as JSON integers from 0 to
// 2^64 - 1, takes any string as the metric, accepts instead of an object an
// array of exactly four elements in field order, and allows only whitespace
// after the value.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "../error.h"

namespace orvex {

struct CollectionMeta {
  uint64_t dimension = 0;
  std::string metric;
  uint64_t vector_count = 0;
  uint64_t next_id = 1;

  bool operator==(const CollectionMeta&) const = default;
};

// The file text in the layout above. Fails only if the metric is not valid
// UTF-8; the error's text() is the JSON library's message.
Result<std::string> render_meta(const CollectionMeta& meta);

// Parses a meta.json text. On failure the error's text() is the description
// alone (e.g. "missing field `next_id`"); the caller adds its prefix.
Result<CollectionMeta> parse_meta(std::string_view text);

}  // namespace orvex
