// The data-file scan and read_at on arbitrary bytes: never a crash, never
// memory reserved for a stated dim or payload_len; live records are
// returned in file order before end_offset.
#include <cstdlib>

#include "storage/data_file.h"
#include "testing/mem_fs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex;
  testing::MemFs fs;
  fs.put("data.ovx", std::string(reinterpret_cast<const char*>(data), size));
  auto df = DataFile::open(fs, "data.ovx");
  if (!df.ok()) std::abort();
  Result<DataScan> scan = df.value()->iter_active();
  if (!scan.ok()) std::abort();  // a scan of an open file always succeeds
  uint64_t last = 0;
  bool first = true;
  for (const DataRecord& r : scan->records) {
    if (r.deleted || (!first && r.offset <= last) || r.offset >= scan->end_offset) std::abort();
    first = false;
    last = r.offset;
    Result<DataRecord> again = df.value()->read_at(r.offset);
    if (!again.ok() || again->id != r.id || again->vector.size() != r.vector.size()) std::abort();
  }
  if (scan->end_offset > size) std::abort();
  (void)df.value()->read_at(size > 3 ? data[0] % size : 0);
  // Appending after the scan's end keeps every record before it readable.
  if (!df.value()->cut_to(scan->end_offset).ok()) std::abort();
  if (!df.value()->append(1, std::vector<float>{1.0f}, Payload{}).ok()) std::abort();
  if (!df.value()->sync().ok()) std::abort();
  Result<DataScan> after = df.value()->iter_active();
  if (!after.ok() || after->records.size() != scan->records.size() + 1) std::abort();
  return 0;
}
