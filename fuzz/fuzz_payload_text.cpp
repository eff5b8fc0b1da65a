// The payload text reader on arbitrary bytes: a payload or an error, never a
// crash. Whatever it accepts writes back to a text that reads as the same
// payload.
#include <cstdlib>

#include "payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex;
  Result<Payload> p = parse_payload_text(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!p.ok()) return 0;
  std::string text;
  if (!append_payload_text(p.value(), text).ok()) std::abort();
  Result<Payload> back = parse_payload_text(text);
  if (!back.ok() || !(back.value() == p.value())) std::abort();
  return 0;
}
