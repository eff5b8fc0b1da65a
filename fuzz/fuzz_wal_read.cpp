// The log reader on arbitrary bytes: read_all must return entries or an
// error, never crash or reserve memory for a stated length. Every entry it
// returns must write back to the same entry.
#include <cstdlib>

#include "storage/wal.h"
#include "testing/mem_fs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex;
  testing::MemFs fs;
  fs.put("wal.log", std::string(reinterpret_cast<const char*>(data), size));
  Result<WalRead> read = Wal::read_all(fs, "wal.log");
  if (!read.ok()) return 0;
  if (read->end_offset > size) std::abort();
  // Write what was read to a fresh log and read it again: the same entries.
  {
    auto wal = Wal::open(fs, "again.log", 0);
    if (!wal.ok()) std::abort();
    for (const WalEntry& e : read->entries) {
      if (!wal.value()->append(e).ok()) std::abort();
    }
  }
  Result<WalRead> again = Wal::read_all(fs, "again.log");
  if (!again.ok() || again->entries != read->entries) std::abort();
  if (again->end_offset != fs.contents("again.log").size()) std::abort();
  return 0;
}
