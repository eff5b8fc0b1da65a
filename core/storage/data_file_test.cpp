#include "data_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

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

std::string record_bytes(uint8_t marker, uint64_t id, std::vector<float> v, std::string payload) {
  std::string out(1, static_cast<char>(marker));
  out += le(id) + le(static_cast<uint32_t>(v.size()));
  for (float f : v) out += le(f);
  return out + le(static_cast<uint32_t>(payload.size())) + payload;
}

std::unique_ptr<DataFile> open_df(fs::FileSystem& fs, const std::string& path) {
  Result<std::unique_ptr<DataFile>> df = DataFile::open(fs, path);
  EXPECT_TRUE(df.ok()) << df.error().to_string();
  return std::move(df).value();
}

std::vector<uint64_t> live_ids(const DataFile& df) {
  Result<DataScan> scan = df.iter_active();
  EXPECT_TRUE(scan.ok()) << scan.error().to_string();
  std::vector<uint64_t> ids;
  for (const DataRecord& r : scan->records) ids.push_back(r.id);
  return ids;
}

TEST(DataFile, RecordBytesAreExact) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  {
    auto df = open_df(fs::posix(), path);
    EXPECT_EQ(df->append(7, std::vector<float>{0.5f, 2.0f}, Payload{}).value(), 0u);
    EXPECT_EQ(df->offset(), 36u);
    EXPECT_EQ(df->append(9, std::vector<float>{1, -2, 3}, Payload{}).value(), 36u);
    EXPECT_EQ(df->offset(), 76u);
  }
  const std::string bytes = slurp(path);
  ASSERT_EQ(bytes.size(), 76u);
  EXPECT_EQ(bytes.substr(0, 36), record_bytes(0, 7, {0.5f, 2.0f}, "{\"data\":{}}"));
  EXPECT_EQ(bytes.substr(36), record_bytes(0, 9, {1, -2, 3}, "{\"data\":{}}"));
  EXPECT_EQ(bytes.substr(65), "{\"data\":{}}");
}

TEST(DataFile, OpenCreatesOrContinues) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  {
    auto df = open_df(fs::posix(), path);
    EXPECT_TRUE(fs::posix().exists(path));
    EXPECT_EQ(df->offset(), 0u);
    Result<DataScan> scan = df->iter_active();
    ASSERT_TRUE(scan.ok());
    EXPECT_TRUE(scan->records.empty());
    EXPECT_EQ(scan->end_offset, 0u);
  }
  spit(path, std::string(5, 'x'));
  auto df = open_df(fs::posix(), path);
  EXPECT_EQ(df->offset(), 5u);
  EXPECT_EQ(df->append(1, std::vector<float>{}, Payload{}).value(), 5u);
}

TEST(DataFile, ReadBackWithPayloadAndMarkers) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  Payload p;
  p.data["color"] = "red";
  p.data["rank"] = 3;
  auto df = open_df(fs::posix(), path);
  ASSERT_TRUE(df->append(1, std::vector<float>{1.5f}, p).ok());
  ASSERT_TRUE(df->append(2, std::vector<float>{}, Payload{}).ok());
  EXPECT_TRUE(live_ids(*df).empty());  // still in the buffer
  ASSERT_TRUE(df->flush().ok());
  Result<DataRecord> r = df->read_at(0);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->id, 1u);
  EXPECT_EQ(r->vector, std::vector<float>{1.5f});
  EXPECT_EQ(r->payload, p);
  EXPECT_FALSE(r->deleted);
  Result<DataScan> scan = df->iter_active();
  ASSERT_TRUE(scan.ok());
  ASSERT_EQ(scan->records.size(), 2u);
  EXPECT_TRUE(scan->records[1].vector.empty());
  EXPECT_EQ(scan->records[1].offset, 17u + 4 + 33);  // 33: {"data":{"color":"red","rank":3}}
  EXPECT_EQ(scan->end_offset, df->offset());
}

TEST(DataFile, OnlyMarkerOneMeansDeleted) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  spit(path, record_bytes(2, 1, {1}, "{\"data\":{}}") + record_bytes(1, 2, {2}, "{\"data\":{}}") +
                 record_bytes(255, 3, {3}, "{\"data\":{}}"));
  auto df = open_df(fs::posix(), path);
  EXPECT_EQ(live_ids(*df), (std::vector<uint64_t>{1, 3}));
  Result<DataRecord> deleted = df->read_at(32);
  ASSERT_TRUE(deleted.ok());
  EXPECT_TRUE(deleted->deleted);
  EXPECT_EQ(deleted->id, 2u);
}

TEST(DataFile, MarkDeletedOnDiskAndInTheBuffer) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  auto df = open_df(fs::posix(), path);
  const uint64_t a = df->append(1, std::vector<float>{1}, Payload{}).value();
  const uint64_t b = df->append(2, std::vector<float>{2}, Payload{}).value();
  ASSERT_TRUE(df->flush().ok());
  const uint64_t c = df->append(3, std::vector<float>{3}, Payload{}).value();
  ASSERT_TRUE(df->mark_deleted(a).ok());
  // c is still in the write buffer: it is marked where it will lie, and the
  // file on disk does not grow.
  ASSERT_TRUE(df->mark_deleted(c).ok());
  EXPECT_EQ(slurp(path).size(), c);
  EXPECT_EQ(live_ids(*df), (std::vector<uint64_t>{2}));
  ASSERT_TRUE(df->flush().ok());
  EXPECT_EQ(live_ids(*df), (std::vector<uint64_t>{2}));
  EXPECT_EQ(slurp(path)[c], 1);
  EXPECT_EQ(slurp(path)[b], 0);
  Status beyond = df->mark_deleted(df->offset());
  ASSERT_FALSE(beyond.ok());
  EXPECT_EQ(beyond.error().kind(), Error::Kind::Io);
  EXPECT_EQ(beyond.error().text().rfind("write delete marker failed: ", 0), 0u) << beyond.error().text();
  EXPECT_EQ(slurp(path).size(), df->offset());
}

// Marking many records at once leaves the same bytes as marking them one by
// one, whether they lie on disk or still wait in the buffer, in any order and
// with repeats; an offset past the end refuses the whole call first.
TEST(DataFile, MarkDeletedManyEqualsOneByOne) {
  TempDir dir;
  std::vector<std::string> files;
  std::vector<uint64_t> offsets;
  for (int way = 0; way < 2; ++way) {
    const std::string path = dir.file(way ? "many.ovx" : "single.ovx");
    auto df = open_df(fs::posix(), path);
    offsets.clear();
    for (uint64_t id = 0; id < 40; ++id) {
      offsets.push_back(df->append(id, std::vector<float>(id % 5, 1.0f), Payload{}).value());
      if (id == 24) ASSERT_TRUE(df->flush().ok());  // 0..24 on disk, the rest buffered
    }
    std::vector<uint64_t> marks;
    for (uint64_t id : {39, 3, 17, 24, 25, 0, 31, 3, 38}) marks.push_back(offsets[id]);
    if (way) {
      ASSERT_TRUE(df->mark_deleted_many(marks).ok());
    } else {
      for (uint64_t m : marks) ASSERT_TRUE(df->mark_deleted(m).ok());
    }
    EXPECT_EQ(live_ids(*df).size(), 25u - 4);  // the buffered ones are not visible yet
    const std::vector<uint64_t> beyond = {offsets[1], df->offset()};
    Status st = df->mark_deleted_many(beyond);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().text(), "write delete marker failed: offset " + std::to_string(df->offset()) +
                                     " is at or beyond the end of the file (" + std::to_string(df->offset()) +
                                     " bytes)");
    EXPECT_TRUE(df->mark_deleted_many({}).ok());
    ASSERT_TRUE(df->flush().ok());
    EXPECT_EQ(live_ids(*df).size(), 40u - 8);
    files.push_back(slurp(path));
  }
  EXPECT_EQ(files[0], files[1]);
  EXPECT_EQ(files[1][offsets[1]], 0);  // the refused call wrote nothing
}

// The scan reuses one record: whatever the visitor moved out or left behind,
// each visit sees exactly the record read_at gives.
TEST(DataFile, ScanReusesOneRecordSafely) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  Payload p;
  p.data["k"] = 1;
  auto df = open_df(fs::posix(), path);
  for (uint64_t id = 0; id < 30; ++id) {
    std::vector<float> v((id * 7) % 11, static_cast<float>(id));
    ASSERT_TRUE(df->append(id, v, id % 3 == 0 ? p : Payload{}).ok());
  }
  ASSERT_TRUE(df->flush().ok());
  int seen = 0;
  Result<uint64_t> end = df->scan_active([&](DataRecord& r) {
    Result<DataRecord> want = df->read_at(r.offset);
    ASSERT_TRUE(want.ok());
    EXPECT_EQ(r.id, want->id);
    EXPECT_EQ(r.vector, want->vector);
    EXPECT_EQ(r.payload, want->payload) << r.id;
    if (r.id % 2) {  // take the vector and payload away every other time
      std::vector<float> taken = std::move(r.vector);
      Payload gone = std::move(r.payload);
    }
    ++seen;
  });
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(seen, 30);
}

struct ReadFailure {
  const char* name;
  std::string bytes;
  const char* text;
};

class DataFileReadFailure : public ::testing::TestWithParam<ReadFailure> {};

TEST_P(DataFileReadFailure, StepMessage) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  spit(path, GetParam().bytes);
  auto df = open_df(fs::posix(), path);
  g_largest_alloc = 0;
  Result<DataRecord> r = df->read_at(0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), GetParam().text);
  EXPECT_LT(g_largest_alloc.load(), size_t{4} << 20);  // no memory reserved for a stated length
  // The scan stops quietly at the same record.
  Result<DataScan> scan = df->iter_active();
  ASSERT_TRUE(scan.ok());
  EXPECT_TRUE(scan->records.empty());
  EXPECT_EQ(scan->end_offset, 0u);
}

const std::string kEmpty = "{\"data\":{}}";
const std::string kHead = std::string(1, '\0') + le(uint64_t{5});

INSTANTIATE_TEST_SUITE_P(
    Steps, DataFileReadFailure,
    ::testing::Values(
        ReadFailure{"empty", "", "io error: read deleted failed: failed to fill whole buffer"},
        ReadFailure{"in_id", kHead.substr(0, 5), "io error: read id failed: failed to fill whole buffer"},
        ReadFailure{"in_dim", kHead + "\x01", "io error: read dim failed: failed to fill whole buffer"},
        ReadFailure{"in_vector", kHead + le(uint32_t{2}) + le(1.0f),
                    "io error: read vector failed: failed to fill whole buffer"},
        ReadFailure{"huge_dim", kHead + le(uint32_t{0xFFFFFFFF}) + std::string(100, 'x'),
                    "io error: read vector failed: failed to fill whole buffer"},
        ReadFailure{"in_payload_len", kHead + le(uint32_t{0}) + "\x0b",
                    "io error: read payload_len failed: failed to fill whole buffer"},
        ReadFailure{"in_payload", kHead + le(uint32_t{0}) + le(uint32_t{11}) + "{\"data\"",
                    "io error: read payload failed: failed to fill whole buffer"},
        ReadFailure{"huge_payload_len", kHead + le(uint32_t{0}) + le(uint32_t{0xFFFFFFFF}) + kEmpty,
                    "io error: read payload failed: failed to fill whole buffer"},
        ReadFailure{"bad_payload", kHead + le(uint32_t{0}) + le(uint32_t{2}) + "{}",
                    "io error: payload deserialize failed: missing field `data`"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DataFile, SeekFailure) {
  TempDir dir;
  auto df = open_df(fs::posix(), dir.file("data.ovx"));
  Result<DataRecord> r = df->read_at(UINT64_MAX);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "io error: seek failed: Invalid argument (os error 22)");
}

TEST(DataFile, ScanStopsAtDamageAndReportsWhere) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  const std::string good = record_bytes(0, 1, {1, 2}, kEmpty) + record_bytes(1, 2, {3, 4}, kEmpty);
  spit(path, good + record_bytes(0, 3, {5, 6}, "{\"data\":[]}") + record_bytes(0, 4, {7, 8}, kEmpty));
  auto df = open_df(fs::posix(), path);
  Result<DataScan> scan = df->iter_active();
  ASSERT_TRUE(scan.ok());
  ASSERT_EQ(scan->records.size(), 1u);
  EXPECT_EQ(scan->records[0].id, 1u);
  EXPECT_EQ(scan->end_offset, good.size());
  // The streaming form sees the same.
  std::vector<uint64_t> ids;
  Result<uint64_t> end = df->scan_active([&](DataRecord& r) { ids.push_back(r.id); });
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(end.value(), good.size());
  EXPECT_EQ(ids, std::vector<uint64_t>{1});
}

TEST(DataFile, LargeRecordsAcrossReadChunks) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  std::vector<float> big(300000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<float>(i);
  Payload p;
  p.data["text"] = std::string(2'000'000, 'q');
  auto df = open_df(fs::posix(), path);
  for (uint64_t id = 0; id < 5; ++id) ASSERT_TRUE(df->append(id, big, id % 2 ? p : Payload{}).ok());
  ASSERT_TRUE(df->flush().ok());
  Result<DataScan> scan = df->iter_active();
  ASSERT_TRUE(scan.ok());
  ASSERT_EQ(scan->records.size(), 5u);
  for (const DataRecord& r : scan->records) {
    EXPECT_EQ(r.vector, big);
    EXPECT_EQ(r.payload, r.id % 2 ? p : Payload{});
  }
  EXPECT_EQ(scan->end_offset, df->offset());
}

TEST(DataFile, TruncateToCutsAndContinues) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  spit(path, record_bytes(0, 1, {1}, kEmpty) + "torn");
  auto df = open_df(fs::posix(), path);
  Result<DataScan> scan = df->iter_active();
  ASSERT_TRUE(scan.ok());
  ASSERT_TRUE(df->truncate_to(scan->end_offset).ok());
  EXPECT_EQ(df->offset(), 32u);
  EXPECT_EQ(df->append(2, std::vector<float>{2}, Payload{}).value(), 32u);
  ASSERT_TRUE(df->flush().ok());
  EXPECT_EQ(live_ids(*df), (std::vector<uint64_t>{1, 2}));
  EXPECT_FALSE(df->truncate_to(df->offset() + 1).ok());
}

// ---- failures of the system, through the fault-injecting file system ----

struct SystemFailure {
  const char* name;
  Op op;
  uint64_t nth;
  const char* text;
};

class DataFileSystemFailure : public ::testing::TestWithParam<SystemFailure> {};

TEST_P(DataFileSystemFailure, Message) {
  const std::string path = "data.ovx";
  MemFs fs;
  fs.put(path, record_bytes(0, 1, {1}, kEmpty));
  const SystemFailure& c = GetParam();
  const Op op = c.op;
  Status st = ok_status();
  auto df_result = [&]() -> Result<std::unique_ptr<DataFile>> {
    if (op == Op::Open && c.nth == 1) fs.add_fault({.op = op, .nth = 1, .error = EIO});
    if (op == Op::Size && c.nth == 1) fs.add_fault({.op = op, .nth = 1, .error = EIO});
    return DataFile::open(fs, path);
  }();
  if (!df_result.ok()) {
    st = std::move(df_result).error();
  } else {
    auto df = std::move(df_result).value();
    fs.add_fault({.op = op, .nth = 1, .error = op == Op::Write ? ENOSPC : EIO});
    const std::string which = c.name;
    if (which.rfind("read_", 0) == 0) {
      Result<DataRecord> r = df->read_at(0);
      st = r.ok() ? ok_status() : Status(std::move(r).error());
    } else if (which.rfind("delete_", 0) == 0) {
      st = df->mark_deleted(0);
    } else if (which.rfind("many_", 0) == 0) {
      const uint64_t offsets[] = {0};
      st = df->mark_deleted_many(offsets);
    } else if (which.rfind("iter_", 0) == 0) {
      Result<DataScan> r = df->iter_active();
      st = r.ok() ? ok_status() : Status(std::move(r).error());
    } else if (which.rfind("truncate_", 0) == 0) {
      st = df->truncate_to(0);
    } else {
      ASSERT_TRUE(df->append(2, std::vector<float>{2}, Payload{}).ok());
      st = df->flush();
    }
  }
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DataFileSystemFailure,
    ::testing::Values(
        SystemFailure{"open_open", Op::Open, 1, "io error: failed to open data file: Input/output error (os error 5)"},
        SystemFailure{"open_metadata", Op::Size, 1, "io error: metadata failed: Input/output error (os error 5)"},
        SystemFailure{"read_open", Op::Open, 2, "io error: open for read failed: Input/output error (os error 5)"},
        SystemFailure{"read_seek", Op::Seek, 2, "io error: seek failed: Input/output error (os error 5)"},
        SystemFailure{"read_io", Op::Read, 2, "io error: read deleted failed: Input/output error (os error 5)"},
        SystemFailure{"delete_open", Op::Open, 2, "io error: open for delete failed: Input/output error (os error 5)"},
        SystemFailure{"delete_seek", Op::Seek, 2, "io error: seek failed: Input/output error (os error 5)"},
        SystemFailure{"delete_write", Op::Write, 2,
                      "io error: write delete marker failed: No space left on device (os error 28)"},
        SystemFailure{"many_open", Op::Open, 2, "io error: open for delete failed: Input/output error (os error 5)"},
        SystemFailure{"many_seek", Op::Seek, 2, "io error: seek failed: Input/output error (os error 5)"},
        SystemFailure{"many_write", Op::Write, 2,
                      "io error: write delete marker failed: No space left on device (os error 28)"},
        SystemFailure{"iter_open", Op::Open, 2, "io error: open for iter failed: Input/output error (os error 5)"},
        SystemFailure{"iter_metadata", Op::Size, 2, "io error: metadata failed: Input/output error (os error 5)"},
        SystemFailure{"flush_write", Op::Write, 2, "io error: flush failed: No space left on device (os error 28)"},
        SystemFailure{"flush_sync", Op::Sync, 2, "io error: sync failed: Input/output error (os error 5)"},
        SystemFailure{"truncate_truncate", Op::Truncate, 2,
                      "io error: truncate failed: Input/output error (os error 5)"},
        SystemFailure{"truncate_sync", Op::Sync, 2, "io error: sync failed: Input/output error (os error 5)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DataFile, FailedAppendIsWithdrawnWhole) {
  const std::string path = "data.ovx";
  MemFs fs;
  std::vector<float> v(500, 1.0f);  // 2017-byte records: the 5th append must write out the buffer
  {
    auto df = open_df(fs, path);
    for (uint64_t id = 0; id < 4; ++id) ASSERT_TRUE(df->append(id, v, Payload{}).ok());
    fs.add_fault({.op = Op::Write, .nth = 1, .error = ENOSPC, .short_write = 1000});
    Result<uint64_t> failed = df->append(99, v, Payload{});
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().to_string(),
              "io error: write deleted marker failed: No space left on device (os error 28)");
    EXPECT_EQ(df->offset(), 4u * 2028);
    EXPECT_EQ(df->append(4, v, Payload{}).value(), 4u * 2028);
    ASSERT_TRUE(df->flush().ok());
    EXPECT_EQ(live_ids(*df), (std::vector<uint64_t>{0, 1, 2, 3, 4}));
  }
  EXPECT_EQ(fs.contents(path).size(), 5u * 2028);
}

TEST(DataFile, PayloadThatCannotBeEncodedWritesNothing) {
  TempDir dir;
  auto df = open_df(fs::posix(), dir.file("data.ovx"));
  Payload p;
  p.data["x"] = std::nan("");
  Result<uint64_t> r = df->append(1, std::vector<float>{1}, p);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "io error: payload serialization failed: number nan is not finite and has no JSON text");
  EXPECT_EQ(df->offset(), 0u);
}

TEST(DataFile, VectorTooLongForAU32IsRefused) {
  TempDir dir;
  auto df = open_df(fs::posix(), dir.file("data.ovx"));
  // Never read: the length is refused before any component is touched.
  static const float one = 1.0f;
  std::span<const float> huge(&one, (uint64_t{1} << 32) + 1);
  Result<uint64_t> r = df->append(1, huge, Payload{});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), Error::Kind::Io);
  EXPECT_EQ(r.error().text().rfind("write dim failed: ", 0), 0u) << r.error().text();
  EXPECT_EQ(df->offset(), 0u);
}

}  // namespace
}  // namespace orvex
