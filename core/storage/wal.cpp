#include "wal.h"

#include <chrono>
#include <mutex>
#include <random>

#include <zlib.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

#include "stream_reader.h"

namespace orvex {
namespace {

static_assert(std::endian::native == std::endian::little,
              "frames are little-endian; this build assumes a little-endian host");

constexpr uint64_t kMaxU32 = 0xFFFFFFFFu;
constexpr size_t kHeaderSize = 8;  // checksum, length
constexpr size_t kReadChunk = 1 << 20;

Error io(const char* prefix, const Error& cause) { return Error::io(prefix + cause.text()); }

uint32_t crc32_of(std::string_view data) {
  return static_cast<uint32_t>(
      ::crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<z_size_t>(data.size())));
}

const char* kind_name(WalEntryKind kind) {
  switch (kind) {
    case WalEntryKind::Insert: return "Insert";
    case WalEntryKind::Update: return "Update";
    case WalEntryKind::Delete: return "Delete";
    case WalEntryKind::Checkpoint: return "Checkpoint";
  }
  return nullptr;
}

// A vector a frame can hold: every component finite, the text under 4 GiB.
Status check_vector(std::span<const float> vector) {
  // Every component takes at least 4 bytes of text ("0.0,"): a vector this
  // long can only make an entry text of 4 GiB or more.
  if (vector.size() > (kMaxU32 - 64) / 4) {
    return Error::io("write length failed: the entry text of a vector of " + std::to_string(vector.size()) +
                     " components does not fit a frame (at most 4294967295 bytes)");
  }
  for (size_t i = 0; i < vector.size(); ++i) {
    if (!std::isfinite(vector[i])) {
      return Error::wal_corrupted("serialization failed: vector component " + std::to_string(i) +
                                  " is not finite");
    }
  }
  return ok_status();
}

// Appends the frame (header, then the entry text) to `out`; on failure `out`
// is as it was.
Status encode_frame(WalEntryKind kind, uint64_t id, std::span<const float> vector, const Payload& payload,
                    std::string& out) {
  const char* name = kind_name(kind);
  if (name == nullptr) {
    return Error::wal_corrupted("serialization failed: unknown entry kind " +
                                std::to_string(static_cast<unsigned>(kind)));
  }
  ORVEX_TRY(check_vector(vector));
  const size_t start = out.size();
  const auto refuse = [&](Error e) {
    out.resize(start);
    return e;
  };
  try {
    // Fixed parts take under 96 bytes; a float's text at most 16.
    out.resize(start + kHeaderSize + 96 + 17 * vector.size());
    char* p = out.data() + start + kHeaderSize;
    const auto put = [&p](std::string_view s) {
      std::memcpy(p, s.data(), s.size());
      p += s.size();
    };
    put(R"({"kind":")");
    put(name);
    put(R"(","id":)");
    p = std::to_chars(p, p + 20, id).ptr;
    put(R"(,"vector":[)");
    for (size_t i = 0; i < vector.size(); ++i) {
      if (i != 0) *p++ = ',';
      p = write_float_text(p, vector[i]);
    }
    put(R"(],"payload":)");
    out.resize(static_cast<size_t>(p - out.data()));
    Status st = append_payload_text(payload, out);
    if (!st.ok()) return refuse(Error::wal_corrupted("serialization failed: " + st.error().text()));
    out.push_back('}');
  } catch (const std::bad_alloc&) {
    return refuse(Error::wal_corrupted("serialization failed: out of memory"));
  }
  const uint64_t length = out.size() - start - kHeaderSize;
  if (length > kMaxU32) {
    return refuse(Error::io("write length failed: an entry text of " + std::to_string(length) +
                            " bytes does not fit a frame (at most 4294967295)"));
  }
  const uint32_t checksum = crc32_of(std::string_view(out).substr(start + kHeaderSize));
  const uint32_t len32 = static_cast<uint32_t>(length);
  std::memcpy(out.data() + start, &checksum, 4);
  std::memcpy(out.data() + start + 4, &len32, 4);
  return ok_status();
}

bool all_zero(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

}  // namespace

namespace {
constexpr const char* kGeneration = "log_generation";
constexpr const char* kBulkOffset = "bulk_offset";
constexpr const char* kBulkBytes = "bulk_bytes";
constexpr const char* kBulkCrc = "bulk_crc32c";
}  // namespace

Payload BulkChunk::entry() const {
  Payload p;
  p.data[kBulkOffset] = offset;
  p.data[kBulkBytes] = bytes;
  p.data[kBulkCrc] = uint64_t{crc};
  return p;
}

std::optional<BulkChunk> BulkChunk::of(const WalEntry& e) {
  if (e.kind != WalEntryKind::Checkpoint) return std::nullopt;
  const auto field = [&](const char* key) -> std::optional<uint64_t> {
    auto it = e.payload.data.find(key);
    if (it == e.payload.data.end() || !it->second.is_number_unsigned()) return std::nullopt;
    return it->second.get<uint64_t>();
  };
  const auto offset = field(kBulkOffset), bytes = field(kBulkBytes), crc = field(kBulkCrc);
  if (!offset || !bytes || !crc || *crc > UINT32_MAX) return std::nullopt;
  return BulkChunk{*offset, *bytes, static_cast<uint32_t>(*crc)};
}

std::optional<uint64_t> Wal::generation_of(const WalEntry& e) {
  if (e.kind != WalEntryKind::Checkpoint || e.payload.data.size() != 1) return std::nullopt;
  auto it = e.payload.data.find(kGeneration);
  if (it == e.payload.data.end() || !it->second.is_number_unsigned()) return std::nullopt;
  return it->second.get<uint64_t>();
}

Wal::Wal(fs::FileSystem& fs, std::string path, std::unique_ptr<fs::File> file, uint64_t length,
         uint64_t sync_every)
    : fs_(fs),
      path_(std::move(path)),
      writer_(std::make_unique<fs::BufferedWriter>(std::move(file), length)),
      sync_every_(sync_every) {}

Wal::~Wal() = default;  // the writer writes out its buffer

Result<std::unique_ptr<Wal>> Wal::open(fs::FileSystem& fs, std::string path, uint64_t sync_every) {
  Result<std::unique_ptr<fs::File>> file = fs.open(path, fs::OpenMode::ReadAppendCreate);
  if (!file.ok()) return io("failed to open WAL: ", file.error());
  Result<uint64_t> length = file.value()->size();
  if (!length.ok()) return io("failed to open WAL: ", length.error());
  return std::unique_ptr<Wal>(new Wal(fs, std::move(path), std::move(file).value(), length.value(), sync_every));
}

Status Wal::append(const WalEntry& entry) {
  return append(entry.kind, entry.id, entry.vector, entry.payload);
}

Status Wal::append(WalEntryKind kind, uint64_t id, std::span<const float> vector, const Payload& payload) {
  frame_.clear();
  ORVEX_TRY(encode_frame(kind, id, vector, payload, frame_));
  // The frame goes to the writer whole: if it is refused, none of it is kept.
  Status st = writer_->append(frame_);
  if (!st.ok()) return io("write checksum failed: ", st.error());
  ++unsynced_entries_;
  if (sync_every_ != 0 && unsynced_entries_ >= sync_every_) return sync();
  return ok_status();
}

Status Wal::encode(WalEntryKind kind, uint64_t id, std::span<const float> vector, const Payload& payload,
                   FrameRun& run) {
  ORVEX_TRY(encode_frame(kind, id, vector, payload, run.bytes));
  ++run.entries;
  return ok_status();
}

Status Wal::check_entry(std::span<const float> vector, const Payload& payload) {
  ORVEX_TRY(check_vector(vector));
  if (payload.data.empty()) return ok_status();
  try {
    std::string text;
    Status st = append_payload_text(payload, text);
    if (!st.ok()) return Error::wal_corrupted("serialization failed: " + st.error().text());
  } catch (const std::bad_alloc&) {
    return Error::wal_corrupted("serialization failed: out of memory");
  }
  return ok_status();
}

Status Wal::append_run(const FrameRun& run) {
  if (run.entries == 0) return ok_status();
  // Whole, like one frame: a refused run leaves nothing of it in the file.
  Status st = writer_->append(run.bytes);
  if (!st.ok()) return io("write checksum failed: ", st.error());
  unsynced_entries_ += run.entries;
  return ok_status();
}

Status Wal::sync() {
  Status st = writer_->write_out();
  if (!st.ok()) return io("flush failed: ", st.error());
  st = writer_->sync();
  if (!st.ok()) return io("sync failed: ", st.error());
  unsynced_entries_ = 0;
  return ok_status();
}

Status Wal::checkpoint() {
  ORVEX_TRY(append(WalEntryKind::Checkpoint, 0, {}, Payload{}));
  ORVEX_TRY(sync());
  Result<std::unique_ptr<fs::File>> file = fs_.open(path_, fs::OpenMode::WriteCreateTruncate);
  if (!file.ok()) return io("truncate failed: ", file.error());
  try {
    writer_ = std::make_unique<fs::BufferedWriter>(std::move(file).value(), 0);
  } catch (const std::bad_alloc&) {
    return Error::io("truncate failed: " + os_error_text(ENOMEM));
  }
  return start_generation();
}

Status Wal::start_generation() {
  if (length() != 0) return ok_status();
  // Random, so that no later log repeats a generation a reader still knows,
  // whatever happened to the files in between; 53 bits read back exactly
  // from any JSON reader.
  static std::mt19937_64 numbers(std::random_device{}() ^
                                 static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  static std::mutex numbers_mu;
  uint64_t generation;
  {
    std::lock_guard lock(numbers_mu);
    generation = numbers() >> 11;
  }
  Payload p;
  p.data[kGeneration] = generation;
  frame_.clear();
  ORVEX_TRY(encode_frame(WalEntryKind::Checkpoint, 0, {}, p, frame_));
  // Written out at once: readers look for it at the start of the file.
  Status st = writer_->append(frame_);
  if (st.ok()) st = writer_->write_out();
  if (!st.ok()) return io("write generation failed: ", st.error());
  return ok_status();
}

Result<std::optional<uint64_t>> Wal::read_generation(fs::FileSystem& fs, const std::string& path) {
  Result<WalScan> first = scan(fs, path, 0, 1);
  if (!first.ok()) return std::move(first).error();
  if (first->entries.empty()) return std::optional<uint64_t>();
  return generation_of(first->entries.front());
}

Result<WalRead> Wal::read_all(fs::FileSystem& fs, const std::string& path) {
  Result<WalScan> scan = Wal::scan(fs, path);
  if (!scan.ok()) return std::move(scan).error();
  if (scan->damage) return *scan->damage;
  return WalRead{std::move(scan->entries), scan->end_offset};
}

Result<WalScan> Wal::scan(fs::FileSystem& fs, const std::string& path, uint64_t from, size_t most) {
  WalScan out;
  out.end_offset = from;
  if (!fs.exists(path)) return out;
  Result<std::unique_ptr<fs::File>> file = fs.open(path, fs::OpenMode::ReadOnly);
  if (!file.ok()) return io("failed to open WAL for read: ", file.error());
  Result<uint64_t> size = file.value()->size();
  if (!size.ok()) return io("metadata failed: ", size.error());
  out.size = size.value();
  if (size.value() <= from) return out;
  if (from > 0) {
    if (Status st = file.value()->seek(from); !st.ok()) return io("seek failed: ", st.error());
  }
  try {
    fs::StreamReader in(*file.value(), from, size.value(), most < 16 ? 4096 : kReadChunk);
    std::string big;  // a frame's data larger than the read buffer
    for (;;) {
      Result<size_t> got = in.ensure(kHeaderSize);
      if (!got.ok()) return io("read checksum failed: ", got.error());
      // The end of the log, or a frame cut short inside its header.
      if (got.value() < kHeaderSize) return out;
      uint32_t stored, length;
      std::memcpy(&stored, in.data(), 4);
      std::memcpy(&length, in.data() + 4, 4);
      if (stored == 0 && length == 0) {
        // Zero bytes running to the end of the file are an unfinished write.
        bool zeros = true;
        while (zeros) {
          Result<size_t> more = in.ensure(in.capacity());
          if (!more.ok()) return io("read data failed: ", more.error());
          if (more.value() == 0) break;
          zeros = all_zero(in.data(), more.value());
          in.consume(more.value());
        }
        if (!zeros) out.damage = from_bytes({}).error();  // an empty frame is damage
        return out;
      }
      in.consume(kHeaderSize);
      // A frame cut short by the end of the file: an unfinished write.
      if (length > in.remaining()) return out;
      std::string_view data;
      if (length <= in.capacity()) {
        got = in.ensure(length);
        if (!got.ok()) return io("read data failed: ", got.error());
        if (got.value() < length) return out;
        data = std::string_view(in.data(), length);
      } else {
        big.resize(length);
        got = in.read_into(big.data(), length);
        if (!got.ok()) return io("read data failed: ", got.error());
        if (got.value() < length) return out;
        data = big;
      }
      const uint32_t computed = crc32_of(data);
      if (computed != stored) {
        out.damage = Error::wal_corrupted("checksum mismatch: expected " + std::to_string(stored) + ", got " +
                                          std::to_string(computed));
        return out;
      }
      Result<WalEntry> entry = from_bytes(data);
      if (!entry.ok()) {
        out.damage = std::move(entry).error();
        return out;
      }
      if (length <= in.capacity()) in.consume(length);
      out.entries.push_back(std::move(entry).value());
      out.end_offset = in.position();
      out.ends.push_back(out.end_offset);
      if (out.entries.size() >= most) return out;
    }
  } catch (const std::bad_alloc&) {
    return Error::io("read data failed: " + os_error_text(ENOMEM));
  }
}

}  // namespace orvex
