#include "data_file.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "stream_reader.h"

namespace orvex {
namespace {

static_assert(std::endian::native == std::endian::little,
              "records are little-endian; this build assumes a little-endian host");

constexpr uint64_t kMaxU32 = 0xFFFFFFFFu;
constexpr size_t kHeaderSize = 13;  // marker, id, dim
constexpr size_t kReadChunk = 8192;
constexpr size_t kScanChunk = 1 << 20;

Error io(const char* prefix, const Error& cause) { return Error::io(prefix + cause.text()); }
Error io(const char* prefix, const std::string& cause) { return Error::io(prefix + cause); }

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
void store(std::string& out, T v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

// Reads one record at the reader's position into `rec`, reusing its
// vector's capacity. Each step fails with its own message (rec then holds
// partial contents); a stated length beyond what is left in the file fails
// without reserving memory for it.
Status read_record(fs::StreamReader& in, DataRecord& rec, bool raw) {
  rec.offset = in.position();

  Result<size_t> got = in.ensure(kHeaderSize);
  if (!got.ok()) return io("read deleted failed: ", got.error());
  const size_t have = got.value();
  if (have < 1) return io("read deleted failed: ", kUnexpectedEof);
  if (have < 9) return io("read id failed: ", kUnexpectedEof);
  if (have < kHeaderSize) return io("read dim failed: ", kUnexpectedEof);
  const char* h = in.data();
  rec.marker = static_cast<uint8_t>(h[0]);
  rec.deleted = rec.marker == 1;
  rec.id = load<uint64_t>(h + 1);
  const uint32_t dim = load<uint32_t>(h + 9);
  in.consume(kHeaderSize);

  const uint64_t vector_bytes = uint64_t{dim} * 4;
  if (vector_bytes > in.remaining()) return io("read vector failed: ", kUnexpectedEof);
  try {
    rec.vector.resize(dim);
  } catch (const std::bad_alloc&) {
    return io("read vector failed: ", os_error_text(ENOMEM));
  }
  got = in.read_into(reinterpret_cast<char*>(rec.vector.data()), vector_bytes);
  if (!got.ok()) return io("read vector failed: ", got.error());
  if (got.value() < vector_bytes) return io("read vector failed: ", kUnexpectedEof);

  got = in.ensure(4);
  if (!got.ok()) return io("read payload_len failed: ", got.error());
  if (got.value() < 4) return io("read payload_len failed: ", kUnexpectedEof);
  const uint32_t payload_len = load<uint32_t>(in.data());
  in.consume(4);

  if (payload_len > in.remaining()) return io("read payload failed: ", kUnexpectedEof);
  Result<Payload> payload = Payload{};
  if (payload_len <= in.capacity()) {
    got = in.ensure(payload_len);
    if (!got.ok()) return io("read payload failed: ", got.error());
    if (got.value() < payload_len) return io("read payload failed: ", kUnexpectedEof);
    const std::string_view text(in.data(), payload_len);
    if (raw) {
      rec.payload_text.assign(text);
      in.consume(payload_len);
      return ok_status();
    }
    if (text == kEmptyPayloadText) {
      // The common case: no parse, no allocation.
      in.consume(payload_len);
      rec.payload.data.clear();
      return ok_status();
    }
    payload = parse_payload_text(text);
    in.consume(payload_len);
  } else {
    std::string text;
    try {
      text.resize(payload_len);
    } catch (const std::bad_alloc&) {
      return io("read payload failed: ", os_error_text(ENOMEM));
    }
    got = in.read_into(text.data(), payload_len);
    if (!got.ok()) return io("read payload failed: ", got.error());
    if (got.value() < payload_len) return io("read payload failed: ", kUnexpectedEof);
    if (raw) {
      rec.payload_text = std::move(text);
      return ok_status();
    }
    payload = parse_payload_text(text);
  }
  if (!payload.ok()) return io("payload deserialize failed: ", payload.error());
  rec.payload = std::move(payload).value();
  return ok_status();
}

}  // namespace

DataFile::DataFile(fs::FileSystem& fs, std::string path, std::unique_ptr<fs::File> file, uint64_t length)
    : fs_(fs), path_(std::move(path)), writer_(std::move(file), length) {}

DataFile::~DataFile() = default;  // the writer writes out its buffer

Result<std::unique_ptr<DataFile>> DataFile::open(fs::FileSystem& fs, std::string path) {
  return open_as(fs, std::move(path), fs::OpenMode::ReadAppendCreate);
}

Result<std::unique_ptr<DataFile>> DataFile::open_to_read(fs::FileSystem& fs, std::string path) {
  return open_as(fs, std::move(path), fs::OpenMode::ReadOnly);
}

Result<std::unique_ptr<DataFile>> DataFile::open_as(fs::FileSystem& fs, std::string path, fs::OpenMode mode) {
  Result<std::unique_ptr<fs::File>> file = fs.open(path, mode);
  if (!file.ok()) return io("failed to open data file: ", file.error());
  Result<uint64_t> length = file.value()->size();
  if (!length.ok()) return io("metadata failed: ", length.error());
  return std::unique_ptr<DataFile>(
      new DataFile(fs, std::move(path), std::move(file).value(), length.value()));
}

template <class WritePayload>
Result<uint64_t> DataFile::append_record(uint64_t id, std::span<const float> vector, WritePayload&& write_payload) {
  if (vector.size() > kMaxU32) {
    return Error::io("write dim failed: a vector of " + std::to_string(vector.size()) +
                     " components does not fit a record (at most 4294967295)");
  }
  try {
    scratch_.clear();
    scratch_.push_back('\0');
    store<uint64_t>(scratch_, id);
    store<uint32_t>(scratch_, static_cast<uint32_t>(vector.size()));
    scratch_.append(reinterpret_cast<const char*>(vector.data()), vector.size() * sizeof(float));
    const size_t len_at = scratch_.size();
    store<uint32_t>(scratch_, 0);
    Status st = write_payload(scratch_);
    if (!st.ok()) return io("payload serialization failed: ", st.error());
    const uint64_t payload_len = scratch_.size() - len_at - 4;
    if (payload_len > kMaxU32) {
      return Error::io("write payload_len failed: a payload text of " + std::to_string(payload_len) +
                       " bytes does not fit a record (at most 4294967295)");
    }
    const uint32_t len32 = static_cast<uint32_t>(payload_len);
    std::memcpy(scratch_.data() + len_at, &len32, 4);
  } catch (const std::bad_alloc&) {
    return Error::io("payload serialization failed: out of memory");
  }
  const uint64_t start = writer_.end_offset();
  // The record goes to the writer whole: if it is refused, none of it is kept.
  Status st = writer_.append(scratch_);
  if (!st.ok()) return io("write deleted marker failed: ", st.error());
  sums_.add(scratch_.data(), scratch_.size());
  return start;
}

Result<uint64_t> DataFile::append(uint64_t id, std::span<const float> vector, const Payload& payload) {
  return append_record(id, vector, [&](std::string& out) { return append_payload_text(payload, out); });
}

Result<uint64_t> DataFile::append_text(uint64_t id, std::span<const float> vector, std::string_view payload_text) {
  return append_record(id, vector, [&](std::string& out) {
    out.append(payload_text);
    return ok_status();
  });
}

Result<DataRecord> DataFile::read_at(uint64_t offset) const {
  Result<std::unique_ptr<fs::File>> file = fs_.open(path_, fs::OpenMode::ReadOnly);
  if (!file.ok()) return io("open for read failed: ", file.error());
  Result<uint64_t> size = file.value()->size();
  if (!size.ok()) return io("metadata failed: ", size.error());
  Status st = file.value()->seek(offset);
  if (!st.ok()) return io("seek failed: ", st.error());
  try {
    fs::StreamReader in(*file.value(), offset, size.value(), kReadChunk);
    DataRecord rec;
    ORVEX_TRY(read_record(in, rec, false));
    return rec;
  } catch (const std::bad_alloc&) {
    return io("open for read failed: ", os_error_text(ENOMEM));
  }
}

Status DataFile::mark_deleted(uint64_t offset) { return write_marker(offset, 1); }

Status DataFile::write_marker(uint64_t offset, uint8_t value) {
  const uint64_t on_disk = writer_.file_length();
  if (offset >= on_disk) {
    if (offset >= writer_.end_offset()) {
      return Error::io("write delete marker failed: offset " + std::to_string(offset) +
                       " is at or beyond the end of the file (" + std::to_string(writer_.end_offset()) +
                       " bytes)");
    }
    // The record still waits in the write buffer: mark it there.
    writer_.buffer_data()[offset - on_disk] = static_cast<char>(value);
    return ok_status();
  }
  Result<std::unique_ptr<fs::File>> file = fs_.open(path_, fs::OpenMode::WriteOnly);
  if (!file.ok()) return io("open for delete failed: ", file.error());
  Status st = file.value()->seek(offset);
  if (!st.ok()) return io("seek failed: ", st.error());
  const char marker = static_cast<char>(value);
  st = file.value()->write(&marker, 1);
  if (!st.ok()) return io("write delete marker failed: ", st.error());
  return ok_status();
}

Status DataFile::mark_deleted_many(std::span<const uint64_t> offsets) {
  if (offsets.empty()) return ok_status();
  const uint64_t on_disk = writer_.file_length();
  const uint64_t end = writer_.end_offset();
  std::vector<uint64_t> sorted;
  try {
    sorted.assign(offsets.begin(), offsets.end());
  } catch (const std::bad_alloc&) {
    return io("open for delete failed: ", os_error_text(ENOMEM));
  }
  std::sort(sorted.begin(), sorted.end());
  if (sorted.back() >= end) {
    return Error::io("write delete marker failed: offset " + std::to_string(sorted.back()) +
                     " is at or beyond the end of the file (" + std::to_string(end) + " bytes)");
  }
  // Records still in the write buffer are marked there.
  const auto first_buffered = std::lower_bound(sorted.begin(), sorted.end(), on_disk);
  for (auto it = first_buffered; it != sorted.end(); ++it) writer_.buffer_data()[*it - on_disk] = 1;
  if (first_buffered == sorted.begin()) return ok_status();

  Result<std::unique_ptr<fs::File>> file = fs_.open(path_, fs::OpenMode::WriteOnly);
  if (!file.ok()) return io("open for delete failed: ", file.error());
  const char marker = 1;
  for (auto it = sorted.begin(); it != first_buffered; ++it) {
    if (it != sorted.begin() && *it == *(it - 1)) continue;
    Status st = file.value()->seek(*it);
    if (!st.ok()) return io("seek failed: ", st.error());
    st = file.value()->write(&marker, 1);
    if (!st.ok()) return io("write delete marker failed: ", st.error());
  }
  return ok_status();
}

Result<uint64_t> DataFile::scan_active(const std::function<void(DataRecord&)>& visit,
                                       uint64_t* whole_records, bool raw, ScanExtras* extras) const {
  BlockSums* sums = extras ? extras->sums : nullptr;
  uint64_t count = 0;
  if (whole_records) *whole_records = 0;
  Result<std::unique_ptr<fs::File>> file = fs_.open(path_, fs::OpenMode::ReadOnly);
  if (!file.ok()) return io("open for iter failed: ", file.error());
  Result<uint64_t> size = file.value()->size();
  if (!size.ok()) return io("metadata failed: ", size.error());
  uint64_t end = 0;  // end of the last whole record
  if (size.value() == 0) return end;
  try {
    fs::StreamReader in(*file.value(), 0, size.value(), kScanChunk);
    if (sums) in.watch([sums](const char* p, size_t n) { sums->add(p, n); });
    std::vector<std::pair<uint64_t, uint8_t>> block_marks;  // set markers in the block of the last record
    DataRecord rec;  // reused: its vector keeps its capacity between records
    while (end < size.value()) {
      // The first record that cannot be read whole ends the scan quietly.
      if (!read_record(in, rec, raw).ok()) break;
      end = in.position();
      ++count;
      if (sums && rec.marker != 0) {
        sums->zero_byte(rec.offset, rec.marker);
        if (!block_marks.empty() && block_marks.back().first / BlockSums::kBlock != rec.offset / BlockSums::kBlock) {
          block_marks.clear();
        }
        block_marks.emplace_back(rec.offset, rec.marker);
      }
      if (extras && extras->every) extras->every(rec);
      if (!rec.deleted) visit(rec);
    }
    if (whole_records) *whole_records = count;
    if (sums && sums->length() > end) {
      // The sums went past the last whole record: take them back to it.
      const uint64_t start = end / BlockSums::kBlock * BlockSums::kBlock;
      std::string tail(static_cast<size_t>(end - start), '\0');
      Status st = file.value()->seek(start);
      if (st.ok()) st = fs::read_exact(*file.value(), tail.data(), tail.size());
      if (!st.ok()) return io("read failed: ", st.error());
      for (const auto& [at, marker] : block_marks) {
        if (at >= start && at < end) tail[at - start] = 0;
      }
      sums->cut(end, tail);
    }
    return end;
  } catch (const std::bad_alloc&) {
    return io("open for iter failed: ", os_error_text(ENOMEM));
  }
}

Result<DataScan> DataFile::iter_active() const {
  DataScan scan;
  try {
    Result<uint64_t> end = scan_active([&](DataRecord& rec) { scan.records.push_back(std::move(rec)); });
    if (!end.ok()) return std::move(end).error();
    scan.end_offset = end.value();
  } catch (const std::bad_alloc&) {
    return io("open for iter failed: ", os_error_text(ENOMEM));
  }
  return scan;
}

Result<uint64_t> DataFile::scan_range(fs::File& file, uint64_t from, uint64_t to,
                                      const std::function<void(DataRecord&)>& visit) {
  Result<uint64_t> size = file.size();
  if (!size.ok()) return io("metadata failed: ", size.error());
  to = std::min(to, size.value());
  uint64_t end = from;
  if (to <= from) return end;
  if (Status st = file.seek(from); !st.ok()) return io("seek failed: ", st.error());
  try {
    fs::StreamReader in(file, from, to, kScanChunk);
    DataRecord rec;
    while (end < to) {
      // A record that does not end by `to` ends the scan quietly.
      if (!read_record(in, rec, /*raw=*/false).ok()) break;
      end = in.position();
      visit(rec);
    }
    return end;
  } catch (const std::bad_alloc&) {
    return io("open for iter failed: ", os_error_text(ENOMEM));
  }
}

Result<std::optional<uint32_t>> DataFile::records_crc32c(uint64_t offset, uint64_t length) const {
  Result<std::unique_ptr<fs::File>> file = fs_.open(path_, fs::OpenMode::ReadOnly);
  if (!file.ok()) return io("open for read failed: ", file.error());
  return range_crc32c(**file, offset, length);
}

Result<std::optional<uint32_t>> DataFile::range_crc32c(fs::File& file, uint64_t offset, uint64_t length) {
  Result<uint64_t> size = file.size();
  if (!size.ok()) return io("metadata failed: ", size.error());
  if (offset > size.value() || length > size.value() - offset) return std::optional<uint32_t>();
  Status st = file.seek(offset);
  if (!st.ok()) return io("seek failed: ", st.error());
  try {
    fs::StreamReader in(file, offset, offset + length, size_t{1} << 20);
    uint32_t crc = 0;
    // Feeds the next n bytes of the range; false when it ends first.
    const auto feed = [&](uint64_t n) -> Result<bool> {
      if (n > in.remaining()) return false;
      while (n > 0) {
        Result<size_t> got = in.ensure(static_cast<size_t>(std::min<uint64_t>(in.capacity(), n)));
        if (!got.ok()) return io("read failed: ", got.error());
        if (got.value() == 0) return false;
        crc = crc32c(crc, in.data(), got.value());
        in.consume(got.value());
        n -= got.value();
      }
      return true;
    };
    while (in.remaining() > 0) {
      constexpr size_t kHead = 13;  // marker, id, dim
      Result<size_t> got = in.ensure(kHead);
      if (!got.ok()) return io("read failed: ", got.error());
      if (got.value() < kHead) return std::optional<uint32_t>();
      char head[kHead];
      std::memcpy(head, in.data(), kHead);
      head[0] = 0;
      uint32_t dim;
      std::memcpy(&dim, head + 9, 4);
      crc = crc32c(crc, head, kHead);
      in.consume(kHead);
      Result<bool> whole = feed(uint64_t{4} * dim);
      if (!whole.ok()) return std::move(whole).error();
      if (!*whole) return std::optional<uint32_t>();
      got = in.ensure(4);
      if (!got.ok()) return io("read failed: ", got.error());
      if (got.value() < 4) return std::optional<uint32_t>();
      uint32_t payload_len;
      std::memcpy(&payload_len, in.data(), 4);
      whole = feed(4);
      if (whole.ok() && *whole) whole = feed(payload_len);
      if (!whole.ok()) return std::move(whole).error();
      if (!*whole) return std::optional<uint32_t>();
    }
    return std::optional<uint32_t>(crc);
  } catch (const std::bad_alloc&) {
    return io("read failed: ", os_error_text(ENOMEM));
  }
}

Status DataFile::write_out() {
  Status st = writer_.write_out();
  if (!st.ok()) return io("flush failed: ", st.error());
  return ok_status();
}

Status DataFile::sync() {
  ORVEX_TRY(write_out());
  Status st = writer_.sync();
  if (!st.ok()) return io("sync failed: ", st.error());
  return ok_status();
}

}  // namespace orvex
