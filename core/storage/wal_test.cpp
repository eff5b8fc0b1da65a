#include "wal.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>

#include "data_file.h"
#include "test_alloc_probe.h"
#include "test_temp_dir.h"
#include "testing/mem_fs.h"

namespace orvex {
namespace {

using testing::slurp;
using testing::spit;
using testing::le;
using testing::TempDir;
using testing::MemFs;
using testing::Op;

uint32_t crc(const std::string& s) {
  return static_cast<uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

std::string frame(const std::string& text) { return le(crc(text)) + le(static_cast<uint32_t>(text.size())) + text; }

std::unique_ptr<Wal> open_wal(fs::FileSystem& fs, const std::string& path, SyncMode mode = SyncMode::Manual) {
  Result<std::unique_ptr<Wal>> w = Wal::open(fs, path, mode);
  EXPECT_TRUE(w.ok()) << w.error().to_string();
  return std::move(w).value();
}

WalRead read_ok(const std::string& path) {
  Result<WalRead> r = Wal::read_all(fs::posix(), path);
  EXPECT_TRUE(r.ok()) << r.error().to_string();
  return r.ok() ? std::move(r).value() : WalRead{};
}

WalEntry insert(uint64_t id, std::vector<float> v) { return WalEntry{WalEntryKind::Insert, id, std::move(v), {}}; }

TEST(Crc32, StandardCheckValue) { EXPECT_EQ(crc("123456789"), 0xCBF43926u); }

TEST(Wal, FrameBytesAreExact) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  {
    auto wal = open_wal(fs::posix(), path);
    ASSERT_TRUE(wal->append(insert(7, {0.5f, 2.0f})).ok());
  }
  const std::string text = R"({"kind":"Insert","id":7,"vector":[0.5,2.0],"payload":{"data":{}}})";
  EXPECT_EQ(slurp(path), frame(text));
}

TEST(Wal, CheckpointFrameIsSeventyBytes) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  {
    auto wal = open_wal(fs::posix(), path);
    ASSERT_TRUE(wal->append(WalEntry{WalEntryKind::Checkpoint, 0, {}, {}}).ok());
  }
  const std::string bytes = slurp(path);
  ASSERT_EQ(bytes.size(), 70u);
  EXPECT_EQ(bytes.substr(4, 4), le(uint32_t{62}));
  EXPECT_EQ(bytes, frame(R"({"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{}}})"));
}

TEST(Wal, EntryTextOfEveryKindAndPayload) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  Payload p;
  p.data["k"] = Json::parse(R"({"b":1,"a":"x\ny"})");
  {
    auto wal = open_wal(fs::posix(), path);
    ASSERT_TRUE(wal->append(WalEntryKind::Update, 18446744073709551615u, std::vector<float>{-0.0f, 1e10f, 16777216.0f}, p).ok());
    ASSERT_TRUE(wal->append(WalEntry{WalEntryKind::Delete, 3, {0.1f, 1e-45f}, {}}).ok());
  }
  EXPECT_EQ(slurp(path),
            frame(R"({"kind":"Update","id":18446744073709551615,"vector":[-0.0,1e+10,16777216.0],"payload":{"data":{"k":{"a":"x\ny","b":1}}}})") +
                frame(R"({"kind":"Delete","id":3,"vector":[0.1,1e-45],"payload":{"data":{}}})"));
}

TEST(Wal, FloatsRoundTripBitForBit) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  std::mt19937 rng(42);
  std::vector<WalEntry> written;
  {
    auto wal = open_wal(fs::posix(), path);
    for (uint64_t id = 0; id < 200; ++id) {
      std::vector<float> v(64);
      for (float& x : v) {
        uint32_t bits;
        do {
          bits = static_cast<uint32_t>(rng());
          std::memcpy(&x, &bits, 4);
        } while (!std::isfinite(x));
      }
      v[0] = std::numeric_limits<float>::denorm_min();
      v[1] = std::numeric_limits<float>::max();
      v[2] = -std::numeric_limits<float>::min();
      written.push_back(insert(id, v));
      ASSERT_TRUE(wal->append(written.back()).ok());
    }
  }
  WalRead back = read_ok(path);
  ASSERT_EQ(back.entries.size(), written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    ASSERT_EQ(std::memcmp(back.entries[i].vector.data(), written[i].vector.data(), 64 * 4), 0) << "entry " << i;
  }
  EXPECT_EQ(back.end_offset, slurp(path).size());
}

// Components are read as the nearest float: checked against the standard
// library's reader on random decimal texts, ties and odd forms.
TEST(Wal, ComponentTextsReadAsTheNearestFloat) {
  std::mt19937_64 rng(5);
  std::vector<std::string> texts = {"16777217", "16777219", "-16777217.0", "0.5000000298023223876953125",
                                    "1.00000005960464477539062", "3.4028235e38", "1.17549435e-38",
                                    "1e-45", "7e-46", "0.1", "123456789012345678901234567890", "0e7", "-0.0e-3"};
  for (int i = 0; i < 20000; ++i) {
    std::string digits = std::to_string(rng() % 1000000000000ull);
    const size_t point = rng() % (digits.size() + 1);
    std::string t = (rng() % 2 ? "-" : "") + digits.substr(0, point);
    if (point == 0) t += "0";
    if (point < digits.size()) t += "." + digits.substr(point);
    if (rng() % 2) t += "e" + std::to_string(static_cast<int>(rng() % 80) - 40);
    texts.push_back(t);
  }
  for (const std::string& t : texts) {
    float expected;
    auto res = std::from_chars(t.data(), t.data() + t.size(), expected);
    if (res.ec != std::errc()) continue;
    Result<WalEntry> e =
        Wal::from_bytes(R"({"kind":"Insert","id":0,"vector":[)" + t + R"(],"payload":{"data":{}}})");
    ASSERT_TRUE(e.ok()) << t << ": " << e.error().to_string();
    ASSERT_EQ(e->vector.size(), 1u);
    uint32_t a, b;
    std::memcpy(&a, &e->vector[0], 4);
    std::memcpy(&b, &expected, 4);
    EXPECT_EQ(a, b) << t;
  }
}

TEST(Wal, NonFiniteComponentIsRefusedAndNothingWritten) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  {
    auto wal = open_wal(fs::posix(), path);
    for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()}) {
      Status st = wal->append(insert(1, {1, 2, 3, bad}));
      ASSERT_FALSE(st.ok());
      EXPECT_EQ(st.error().to_string(), "WAL corrupted: serialization failed: vector component 3 is not finite");
      EXPECT_EQ(wal->unsynced_entries(), 0u);
    }
    Payload p;
    p.data["x"] = std::numeric_limits<double>::infinity();
    Status st = wal->append(WalEntryKind::Insert, 1, std::vector<float>{1}, p);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), Error::Kind::WalCorrupted);
    EXPECT_EQ(st.error().text().rfind("serialization failed: ", 0), 0u);
  }
  EXPECT_EQ(slurp(path), "");
}

TEST(Wal, EntryTextOfFourGibibytesIsRefusedBeforeEncoding) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  {
    auto wal = open_wal(fs::posix(), path);
    // Never read: the length is refused before any component is touched.
    static const float one = 1.0f;
    std::span<const float> huge(&one, uint64_t{1} << 30);
    Status st = wal->append(WalEntryKind::Insert, 1, huge, Payload{});
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), Error::Kind::Io);
    EXPECT_EQ(st.error().text().rfind("write length failed: ", 0), 0u) << st.error().text();
    EXPECT_EQ(wal->unsynced_entries(), 0u);
  }
  EXPECT_EQ(slurp(path), "");
}

TEST(Wal, ReadAllOfMissingOrEmptyFile) {
  TempDir dir;
  WalRead missing = read_ok(dir.file("none.log"));
  EXPECT_TRUE(missing.entries.empty());
  spit(dir.file("empty.log"), "");
  EXPECT_TRUE(read_ok(dir.file("empty.log")).entries.empty());
}

TEST(Wal, SyncModes) {
  MemFs fs;
  {
    auto wal = open_wal(fs, "batch.log", SyncMode::Batch);
    for (int i = 1; i <= 99; ++i) ASSERT_TRUE(wal->append(insert(i, {1})).ok());
    EXPECT_EQ(fs.count(Op::Sync), 0u);
    EXPECT_EQ(wal->unsynced_entries(), 99u);
    ASSERT_TRUE(wal->append(insert(100, {1})).ok());
    EXPECT_EQ(fs.count(Op::Sync), 1u);
    EXPECT_EQ(wal->unsynced_entries(), 0u);
  }
  {
    auto wal = open_wal(fs, "always.log", SyncMode::Always);
    ASSERT_TRUE(wal->append(insert(1, {1})).ok());
    ASSERT_TRUE(wal->append(insert(2, {1})).ok());
    EXPECT_EQ(fs.count(Op::Sync), 3u);
    EXPECT_EQ(wal->unsynced_entries(), 0u);
  }
  for (SyncMode mode : {SyncMode::Manual, static_cast<SyncMode>(7)}) {
    MemFs quiet;
    auto wal = open_wal(quiet, "manual.log", mode);
    for (int i = 0; i < 250; ++i) ASSERT_TRUE(wal->append(insert(i, {1})).ok());
    EXPECT_EQ(quiet.count(Op::Sync), 0u);
    EXPECT_EQ(wal->unsynced_entries(), 250u);
    ASSERT_TRUE(wal->sync().ok());
    EXPECT_EQ(wal->unsynced_entries(), 0u);
    EXPECT_EQ(quiet.count(Op::Sync), 1u);
  }
}

TEST(Wal, CheckpointEmptiesTheFileAndTheNextFrameStartsAtZero) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  auto wal = open_wal(fs::posix(), path, SyncMode::Batch);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(wal->append(insert(i, {1, 2})).ok());
  ASSERT_TRUE(wal->checkpoint().ok());
  EXPECT_EQ(slurp(path), "");
  EXPECT_EQ(wal->unsynced_entries(), 0u);
  EXPECT_TRUE(read_ok(path).entries.empty());
  ASSERT_TRUE(wal->append(insert(9, {3})).ok());
  ASSERT_TRUE(wal->sync().ok());
  EXPECT_EQ(slurp(path), frame(R"({"kind":"Insert","id":9,"vector":[3.0],"payload":{"data":{}}})"));
}

// Cuts real files at every byte of their last frame / record: the entries
// and records before it come back, with the end of the last whole one.
enum class FileKind { Log, Data };

class TornTail : public ::testing::TestWithParam<FileKind> {};

TEST_P(TornTail, EveryCutOfTheLastFrameOrRecord) {
  TempDir dir;
  const std::string path = dir.file("file");
  Payload p;
  p.data["tag"] = "last";
  uint64_t last_start = 0;
  if (GetParam() == FileKind::Log) {
    auto wal = open_wal(fs::posix(), path);
    ASSERT_TRUE(wal->append(insert(1, {1, 2})).ok());
    ASSERT_TRUE(wal->append(insert(2, {3, 4})).ok());
    ASSERT_TRUE(wal->sync().ok());
    last_start = slurp(path).size();
    ASSERT_TRUE(wal->append(WalEntryKind::Insert, 3, std::vector<float>{5, 6, 7}, p).ok());
  } else {
    auto df = DataFile::open(fs::posix(), path).value();
    ASSERT_TRUE(df->append(1, std::vector<float>{1, 2}, Payload{}).ok());
    ASSERT_TRUE(df->append(2, std::vector<float>{3, 4}, Payload{}).ok());
    last_start = df->offset();
    ASSERT_TRUE(df->append(3, std::vector<float>{5, 6, 7}, p).ok());
  }
  const std::string whole = slurp(path);
  for (size_t cut = last_start; cut < whole.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(whole.size()));
    spit(path, whole.substr(0, cut));
    std::vector<uint64_t> ids;
    uint64_t end = 0;
    if (GetParam() == FileKind::Log) {
      Result<WalRead> r = Wal::read_all(fs::posix(), path);
      ASSERT_TRUE(r.ok()) << r.error().to_string();
      for (const WalEntry& e : r->entries) ids.push_back(e.id);
      end = r->end_offset;
    } else {
      Result<DataScan> r = DataFile::open(fs::posix(), path).value()->iter_active();
      ASSERT_TRUE(r.ok()) << r.error().to_string();
      for (const DataRecord& rec : r->records) ids.push_back(rec.id);
      end = r->end_offset;
    }
    EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(end, last_start);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, TornTail, ::testing::Values(FileKind::Log, FileKind::Data),
                         [](const auto& info) { return info.param == FileKind::Log ? "log" : "data"; });

TEST(Wal, ZeroFilledTailIsAnUnfinishedWrite) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  const std::string good = frame(R"({"kind":"Insert","id":1,"vector":[],"payload":{"data":{}}})") +
                           frame(R"({"kind":"Insert","id":2,"vector":[],"payload":{"data":{}}})");
  for (size_t zeros : {1u, 7u, 8u, 9u, 100u, 5000000u}) {
    SCOPED_TRACE(zeros);
    spit(path, good + std::string(zeros, '\0'));
    WalRead r = read_ok(path);
    EXPECT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.end_offset, good.size());
  }
  // Zeros followed by something else are damage, not an unfinished write.
  spit(path, good + std::string(16, '\0') + "x");
  Result<WalRead> r = Wal::read_all(fs::posix(), path);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), Error::Kind::WalCorrupted);
  EXPECT_EQ(r.error().text().rfind("deserialization failed: ", 0), 0u);
}

TEST(Wal, HugeStatedLengthIsATornTailWithoutAllocation) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  const std::string good = frame(R"({"kind":"Insert","id":1,"vector":[],"payload":{"data":{}}})");
  spit(path, good + le(uint32_t{123}) + le(uint32_t{0xFFFFFFFF}) + std::string(50, 'x'));
  g_largest_alloc = 0;
  WalRead r = read_ok(path);
  EXPECT_LT(g_largest_alloc.load(), size_t{4} << 20);
  EXPECT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.end_offset, good.size());
}

TEST(Wal, FlippedByteInAWholeFrameIsAnError) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  const std::string first = frame(R"({"kind":"Insert","id":1,"vector":[1.0],"payload":{"data":{}}})");
  const std::string text = R"({"kind":"Insert","id":2,"vector":[2.0],"payload":{"data":{}}})";
  const std::string second = frame(text);
  for (size_t i = 0; i < text.size(); ++i) {
    std::string damaged = text;
    damaged[i] ^= 0x20;
    spit(path, first + second.substr(0, 8) + damaged + first);
    Result<WalRead> r = Wal::read_all(fs::posix(), path);
    ASSERT_FALSE(r.ok()) << i;
    EXPECT_EQ(r.error().to_string(), "WAL corrupted: checksum mismatch: expected " + std::to_string(crc(text)) +
                                         ", got " + std::to_string(crc(damaged)));
  }
  spit(path, first + frame("{}"));
  Result<WalRead> r = Wal::read_all(fs::posix(), path);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "WAL corrupted: deserialization failed: missing field `kind`");
}

struct DecodeCase {
  const char* name;
  const char* text;
  const char* result;  // ok: the entry re-encoded; else the error's text form
};

class FromBytes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(FromBytes, Outcome) {
  Result<WalEntry> e = Wal::from_bytes(GetParam().text);
  if (!e.ok()) {
    EXPECT_EQ(e.error().to_string(), GetParam().result);
    return;
  }
  TempDir dir;
  {
    auto wal = open_wal(fs::posix(), dir.file("w"));
    ASSERT_TRUE(wal->append(e.value()).ok());
  }
  EXPECT_EQ(slurp(dir.file("w")).substr(8), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FromBytes,
    ::testing::Values(
        DecodeCase{"any_order_whitespace_extra",
                   " { \"payload\" : {\"data\":{\"a\":[1, 2]}} ,\"x\":[{\"y\":\"}\"}], \"vector\" : [ 1 , -2.5e0 ] ,"
                   "\"id\":5, \"kind\" : \"Delete\" }\n",
                   R"({"kind":"Delete","id":5,"vector":[1.0,-2.5],"payload":{"data":{"a":[1,2]}}})"},
        DecodeCase{"escaped_names", R"({"\u006bind":"Ins\u0065rt","id":0,"vector":[],"payload":{"data":{}}})",
                   R"({"kind":"Insert","id":0,"vector":[],"payload":{"data":{}}})"},
        DecodeCase{"integer_components", R"({"kind":"Insert","id":1,"vector":[3,-0,1E2],"payload":{"data":{}}})",
                   R"({"kind":"Insert","id":1,"vector":[3.0,-0.0,100.0],"payload":{"data":{}}})"},
        DecodeCase{"underflow_to_zero", R"({"kind":"Insert","id":1,"vector":[1e-60],"payload":{"data":{}}})",
                   R"({"kind":"Insert","id":1,"vector":[0.0],"payload":{"data":{}}})"},
        DecodeCase{"empty_object", "{}", "WAL corrupted: deserialization failed: missing field `kind`"},
        DecodeCase{"missing_payload", R"({"kind":"Insert","id":1,"vector":[]})",
                   "WAL corrupted: deserialization failed: missing field `payload`"},
        DecodeCase{"duplicate_id", R"({"kind":"Insert","id":1,"id":2,"vector":[],"payload":{"data":{}}})",
                   "WAL corrupted: deserialization failed: duplicate field `id`"},
        DecodeCase{"lower_case_kind", R"({"kind":"insert","id":1,"vector":[],"payload":{"data":{}}})",
                   "WAL corrupted: deserialization failed: unknown variant `insert`, expected one of `Insert`, "
                   "`Update`, `Delete`, `Checkpoint`"},
        DecodeCase{"negative_id", R"({"kind":"Insert","id":-1,"vector":[],"payload":{"data":{}}})",
                   "WAL corrupted: deserialization failed: invalid value for field `id` at offset 22: expected a "
                   "non-negative integer that fits 64 bits"},
        DecodeCase{"float_id", R"({"kind":"Insert","id":1.0,"vector":[],"payload":{"data":{}}})",
                   "WAL corrupted: deserialization failed: invalid value for field `id` at offset 22: expected a "
                   "non-negative integer that fits 64 bits"},
        DecodeCase{"id_overflow", R"({"kind":"Insert","id":18446744073709551616,"vector":[],"payload":{"data":{}}})",
                   "WAL corrupted: deserialization failed: invalid value for field `id` at offset 22: expected a "
                   "non-negative integer that fits 64 bits"},
        DecodeCase{"null_component", R"({"kind":"Insert","id":1,"vector":[1,null],"payload":{"data":{}}})",
                   "WAL corrupted: deserialization failed: invalid type: vector component 1 at offset 36 is not a "
                   "number"},
        DecodeCase{"component_too_big", R"({"kind":"Insert","id":1,"vector":[1e39],"payload":{"data":{}}})",
                   "WAL corrupted: deserialization failed: vector component 0 (1e39) is out of range for a 32-bit "
                   "float"},
        DecodeCase{"bad_number", R"({"kind":"Insert","id":1,"vector":[01],"payload":{"data":{}}})",
                   "WAL corrupted: deserialization failed: expected `,` or `]` at offset 35"},
        DecodeCase{"second_data", R"({"kind":"Insert","id":1,"vector":[],"payload":{"data":{},"data":{}}})",
                   "WAL corrupted: deserialization failed: duplicate field `data`"},
        DecodeCase{"trailing", R"({"kind":"Insert","id":1,"vector":[],"payload":{"data":{}}}x)",
                   "WAL corrupted: deserialization failed: trailing characters at offset 58"},
        DecodeCase{"bad_extra_member", R"({"kind":"Insert","x":tru,"id":1,"vector":[],"payload":{"data":{}}})",
                   "WAL corrupted: deserialization failed: invalid value at offset 21"},
        DecodeCase{"empty_text", "", "WAL corrupted: deserialization failed: expected `{` at offset 0"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- failures of the system ----

TEST(Wal, OpenAndReadFailures) {
  const std::string path = "wal.log";
  struct Case {
    Op op;
    bool read;
    const char* text;
  };
  for (const Case& c : {Case{Op::Open, false, "io error: failed to open WAL: Input/output error (os error 5)"},
                        Case{Op::Open, true, "io error: failed to open WAL for read: Input/output error (os error 5)"},
                        Case{Op::Size, true, "io error: metadata failed: Input/output error (os error 5)"},
                        Case{Op::Read, true, "io error: read checksum failed: Input/output error (os error 5)"}}) {
    MemFs fs;
    fs.put(path, frame(R"({"kind":"Insert","id":1,"vector":[],"payload":{"data":{}}})"));
    fs.add_fault({.op = c.op, .nth = 1, .error = EIO});
    if (c.read) {
      Result<WalRead> r = Wal::read_all(fs, path);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().to_string(), c.text);
    } else {
      Result<std::unique_ptr<Wal>> w = Wal::open(fs, path, SyncMode::Manual);
      ASSERT_FALSE(w.ok());
      EXPECT_EQ(w.error().to_string(), c.text);
    }
  }
}

TEST(Wal, ReadDataFailureOnALargeFrame) {
  const std::string path = "wal.log";
  MemFs fs;
  {
    auto wal = open_wal(fs, path);
    ASSERT_TRUE(wal->append(insert(1, std::vector<float>(300000, 0.123456f))).ok());
  }
  fs.add_fault({.op = Op::Read, .nth = 2, .error = EIO});
  Result<WalRead> r = Wal::read_all(fs, path);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "io error: read data failed: Input/output error (os error 5)");
  fs.clear_faults();
  Result<WalRead> again = Wal::read_all(fs, path);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->entries.at(0).vector.size(), 300000u);
}

TEST(Wal, FailedAppendIsWithdrawnWhole) {
  const std::string path = "wal.log";
  MemFs fs;
  {
    auto wal = open_wal(fs, path);
    const std::vector<float> v(300, 0.25f);
    size_t appended = 0;
    while (fs.count(Op::Write) == 0) {
      ASSERT_TRUE(wal->append(insert(appended++, v)).ok());
    }
    const uint64_t before = wal->unsynced_entries();
    fs.add_fault({.op = Op::Write, .nth = 1, .error = ENOSPC, .short_write = 10});
    // The buffer's bytes go out only partly; the new frame is refused whole.
    for (int i = 0; i < 3; ++i) {
      Status st = wal->append(insert(1000, v));
      if (st.ok()) break;
      EXPECT_EQ(st.error().to_string(), "io error: write checksum failed: No space left on device (os error 28)");
      EXPECT_EQ(wal->unsynced_entries(), before);
    }
    fs.clear_faults();
    ASSERT_TRUE(wal->sync().ok());
  }
  Result<WalRead> r = Wal::read_all(fs, path);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->end_offset, fs.contents(path).size());
  for (size_t i = 0; i + 1 < r->entries.size(); ++i) EXPECT_EQ(r->entries[i].id, i);
}

TEST(Wal, SyncAndCheckpointFailures) {
  const std::string path = "wal.log";
  MemFs fs;
  auto wal = open_wal(fs, path, SyncMode::Always);
  fs.add_fault({.op = Op::Sync, .nth = 1, .error = EIO});
  Status st = wal->append(insert(1, {1}));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), "io error: sync failed: Input/output error (os error 5)");
  EXPECT_EQ(wal->unsynced_entries(), 1u);  // handed over and counted
  fs.add_fault({.op = Op::Write, .nth = 1, .error = ENOSPC});
  ASSERT_TRUE(wal->append(insert(2, {1})).ok() == false);
  fs.clear_faults();
  fs.add_fault({.op = Op::Write, .nth = 1, .error = ENOSPC});
  // The frame is in the buffer; writing it out fails.
  EXPECT_EQ(wal->sync().error().to_string(), "io error: flush failed: No space left on device (os error 28)");
  fs.clear_faults();
  ASSERT_TRUE(wal->sync().ok());
  fs.add_fault({.op = Op::Open, .nth = 1, .error = EIO});
  st = wal->checkpoint();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), "io error: truncate failed: Input/output error (os error 5)");
  // The log keeps its entries and the Checkpoint frame, all synced.
  Result<WalRead> r = Wal::read_all(fs, path);
  ASSERT_TRUE(r.ok());
  ASSERT_FALSE(r->entries.empty());
  EXPECT_EQ(r->entries.back().kind, WalEntryKind::Checkpoint);
  fs.clear_faults();
  ASSERT_TRUE(wal->checkpoint().ok());
  EXPECT_EQ(fs.contents(path), "");
}

TEST(Wal, TruncateToCutsATornTail) {
  TempDir dir;
  const std::string path = dir.file("wal.log");
  const std::string good = frame(R"({"kind":"Insert","id":1,"vector":[],"payload":{"data":{}}})");
  spit(path, good + "torn!");
  WalRead r = read_ok(path);
  auto wal = open_wal(fs::posix(), path);
  ASSERT_TRUE(wal->truncate_to(r.end_offset).ok());
  ASSERT_TRUE(wal->append(insert(2, {})).ok());
  ASSERT_TRUE(wal->sync().ok());
  WalRead after = read_ok(path);
  ASSERT_EQ(after.entries.size(), 2u);
  EXPECT_EQ(after.entries[1].id, 2u);
  EXPECT_EQ(after.end_offset, slurp(path).size());
  EXPECT_FALSE(wal->truncate_to(after.end_offset + 1).ok());
}

}  // namespace
}  // namespace orvex
