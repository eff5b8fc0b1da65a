#include "data_file.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "test_temp_dir.h"
#include "testing/mem_fs.h"

namespace orvex {
namespace {

using testing::le;
using testing::slurp;
using testing::spit;
using testing::TempDir;

std::unique_ptr<DataFile> open_data(const std::string& path) {
  auto d = DataFile::open(fs::posix(), path);
  EXPECT_TRUE(d.ok()) << d.error().to_string();
  return std::move(d).value();
}

std::string record(uint8_t marker, uint64_t id, const std::vector<float>& v, const std::string& payload) {
  std::string r(1, static_cast<char>(marker));
  r += le(id) + le(static_cast<uint32_t>(v.size()));
  r.append(reinterpret_cast<const char*>(v.data()), v.size() * 4);
  return r + le(static_cast<uint32_t>(payload.size())) + payload;
}

std::vector<uint64_t> live_ids(const DataFile& d, uint64_t* end = nullptr) {
  auto scan = d.iter_active();
  EXPECT_TRUE(scan.ok());
  std::vector<uint64_t> ids;
  for (const DataRecord& r : scan->records) ids.push_back(r.id);
  if (end) *end = scan->end_offset;
  return ids;
}

TEST(DataFile, RecordsAreExactBytesAndOnlyMarkerOneMeansDeleted) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  Payload p;
  p.data["s"] = "a\"\x01";
  {
    auto d = open_data(path);
    EXPECT_EQ(d->append(5, std::vector<float>{1, 2, 3}, {}).value(), 0u);
    EXPECT_EQ(d->append(6, std::vector<float>{}, p).value(), 40u);  // 17 + 12 + 11
    ASSERT_TRUE(d->sync().ok());
  }
  EXPECT_EQ(slurp(path), record(0, 5, {1, 2, 3}, R"({"data":{}})") + record(0, 6, {}, R"({"data":{"s":"a\"\u0001"}})"));

  std::string bytes = slurp(path);
  bytes[0] = 2;
  spit(path, bytes);
  auto d = open_data(path);
  EXPECT_EQ(d->offset(), bytes.size());
  EXPECT_EQ(live_ids(*d), (std::vector<uint64_t>{5, 6}));
  ASSERT_TRUE(d->mark_deleted(0).ok());
  EXPECT_EQ(live_ids(*d), (std::vector<uint64_t>{6}));
  auto back = d->read_at(0);
  ASSERT_TRUE(back.ok());
  EXPECT_TRUE(back->deleted);
  EXPECT_EQ(back->vector, (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(d->read_at(40).value().payload, p);
}

TEST(DataFile, HeldRecordsWaitAndAreMarkedWhereTheyWillLie) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  auto d = open_data(path);
  d->set_hold(true);
  std::vector<uint64_t> offsets;
  for (uint64_t id = 0; id < 600; ++id) offsets.push_back(d->append(id, std::vector<float>(8, 1.0f), {}).value());
  EXPECT_EQ(slurp(path).size(), 0u);  // nothing reaches the file while held
  ASSERT_TRUE(d->mark_deleted(offsets[1]).ok());
  ASSERT_TRUE(d->write_out().ok());
  const uint64_t lone = d->append(600, std::vector<float>(8, 1.0f), {}).value();
  ASSERT_TRUE(d->mark_deleted_many(std::vector<uint64_t>{offsets[599], offsets[3], lone, offsets[3]}).ok());
  EXPECT_FALSE(d->mark_deleted(d->offset()).ok());  // never past the appended data
  ASSERT_TRUE(d->sync().ok());
  auto ids = live_ids(*d);
  EXPECT_EQ(ids.size(), 601u - 4);
  for (uint64_t gone : {1, 3, 599, 600}) EXPECT_EQ(std::count(ids.begin(), ids.end(), gone), 0) << gone;
}

TEST(DataFile, ScanStopsAtTheFirstRecordThatIsNotWhole) {
  TempDir dir;
  const std::string path = dir.file("data.ovx");
  const std::string a = record(0, 1, std::vector<float>(300000, 0.5f), R"({"data":{}})");  // beyond a read chunk
  const std::string b = record(0, 2, {1, 2}, R"({"data":{"k":[1]}})");
  const std::string cuts[] = {std::string(1, '\0'), b.substr(0, 12), b.substr(0, 20), b.substr(0, b.size() - 1),
                              record(0, 3, {}, "{}") /* payload without data */, std::string(40, '\0')};
  for (const std::string& tail : cuts) {
    spit(path, a + b + tail);
    auto d = open_data(path);
    uint64_t end = 0;
    EXPECT_EQ(live_ids(*d, &end), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(end, a.size() + b.size());
    // Cutting the torn end off lets appends continue behind the whole records.
    ASSERT_TRUE(d->cut_to(end).ok());
    ASSERT_TRUE(d->append(4, std::vector<float>{3}, {}).ok());
    ASSERT_TRUE(d->sync().ok());
    EXPECT_EQ(live_ids(*open_data(path)), (std::vector<uint64_t>{1, 2, 4}));
  }
  // Reading a record cut short names the step that met the end.
  spit(path, b.substr(0, 20));
  auto cut = open_data(path)->read_at(0);
  ASSERT_FALSE(cut.ok());
  EXPECT_EQ(cut.error().to_string(), "io error: read vector failed: failed to fill whole buffer");
}

// A record the writer refuses (its buffer could not be written out first)
// is reported and withdrawn whole: nothing of it reaches the file ahead of
// later records.
TEST(DataFile, ARefusedRecordIsReportedAndWithdrawnWhole) {
  testing::MemFs fs;
  auto d = DataFile::open(fs, "/data.ovx").value();
  fs.add_fault({testing::Op::Write, 1, EIO});
  const std::vector<float> v(500, 1.0f);  // records of 2,028 bytes: the fifth overflows the 8 KiB buffer
  Status refused = ok_status();
  for (uint64_t id = 0; id < 8 && refused.ok(); ++id) {
    auto r = d->append(id, v, {});
    if (!r.ok()) refused = r.error();
  }
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(fs.faults_fired(), 1u);
  EXPECT_EQ(refused.error().to_string().rfind("io error: write deleted marker failed: ", 0), 0u);
  ASSERT_TRUE(d->append(9, v, {}).ok());
  ASSERT_TRUE(d->sync().ok());
  EXPECT_EQ(live_ids(*d), (std::vector<uint64_t>{0, 1, 2, 3, 9}));
}

}  // namespace
}  // namespace orvex
