// The meta.json reader on arbitrary bytes: never a crash, never an
// exception; whatever it accepts renders back to a text that reads back to
// the same values, and that text renders identically again.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "storage/meta_file.h"
#include "payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool utf8 = is_valid_utf8(text);
  Result<CollectionMeta> meta = parse_meta(text);
  if (!meta.ok()) {
    if (meta.error().text().empty()) std::abort();  // a refusal always says why
    return 0;
  }
  Result<std::string> rendered = render_meta(*meta);
  if (!rendered.ok()) {
    // Rendering fails only for a metric that is not UTF-8, which a UTF-8
    // text cannot have produced.
    if (utf8 || is_valid_utf8(meta->metric)) std::abort();
    return 0;
  }
  Result<CollectionMeta> again = parse_meta(*rendered);
  if (!again.ok() || !(*again == *meta)) std::abort();
  Result<std::string> twice = render_meta(*again);
  if (!twice.ok() || *twice != *rendered) std::abort();
  return 0;
}
