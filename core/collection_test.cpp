#include "collection.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "storage/data_file.h"
#include "storage/wal.h"
#include "testing/mem_fs.h"

namespace orvex {
namespace {

namespace stdfs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (stdfs::temp_directory_path() / "orvex-coll-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    EXPECT_NE(made, nullptr);
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    stdfs::remove_all(path_, ec);
  }
  std::string sub(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

uint64_t size_of(const std::string& path) { return stdfs::file_size(path); }

std::vector<float> vec_for(uint64_t id, uint64_t dim, uint64_t version = 0) {
  std::vector<float> v(dim);
  for (uint64_t i = 0; i < dim; ++i) v[i] = static_cast<float>(id) * 0.5f + static_cast<float>(i) + 0.25f * version;
  return v;
}

CollectionConfig cfg(uint64_t dim, DistanceMetric metric = DistanceMetric::Euclidean,
                     SyncMode mode = SyncMode::Batch) {
  return CollectionConfig{dim, metric, mode};
}

std::unique_ptr<Collection> open_ok(const std::string& path, const CollectionConfig& config,
                                    fs::FileSystem* fs = nullptr) {
  auto c = Collection::open_or_create(path, config, fs);
  EXPECT_TRUE(c.ok()) << c.error().to_string();
  return c.ok() ? std::move(*c) : nullptr;
}

// The stored vector of `id`, found by an exact Euclidean search for it.
bool holds(const Collection& c, uint64_t id, const std::vector<float>& v) {
  auto r = c.search(v, c.len() == 0 ? 1 : c.len(), std::nullopt, false);
  for (const auto& hit : r) {
    if (hit.id == id) return hit.distance == 0.0f;
  }
  return false;
}

// Every id in the index, by a search that returns everything.
std::multiset<uint64_t> all_ids(const Collection& c) {
  std::multiset<uint64_t> ids;
  std::vector<float> q(c.config().dimension, 0.0f);
  for (const auto& hit : c.search(q, c.len() + 1, std::nullopt, false)) ids.insert(hit.id);
  return ids;
}

size_t live_records(const std::string& dir) {
  auto df = DataFile::open(fs::posix(), dir + "/data.ovx");
  EXPECT_TRUE(df.ok());
  auto scan = (*df)->iter_active();
  EXPECT_TRUE(scan.ok());
  return scan->records.size();
}

const char* kMeta4Cosine =
    "{\n  \"dimension\": 4,\n  \"metric\": \"Cosine\",\n  \"vector_count\": 0,\n  \"next_id\": 1\n}";

// ---- opening --------------------------------------------------------------

TEST(CollectionOpen, NewDirectoryGetsThreeFiles) {
  TempDir tmp;
  const std::string dir = tmp.sub("a/b/coll");
  auto c = open_ok(dir, cfg(4, DistanceMetric::Cosine));
  ASSERT_TRUE(c);
  EXPECT_EQ(read_bytes(dir + "/meta.json"), kMeta4Cosine);
  EXPECT_EQ(size_of(dir + "/wal.log"), 0u);
  EXPECT_EQ(size_of(dir + "/data.ovx"), 0u);
  EXPECT_FALSE(stdfs::exists(dir + "/meta.json.tmp"));
  EXPECT_EQ(c->len(), 0u);
  EXPECT_EQ(c->next_id(), 1u);
  EXPECT_EQ(c->path(), dir);
  EXPECT_TRUE(c->search(std::vector<float>(4, 1.0f), 5).empty());
}

TEST(CollectionOpen, OtherDimensionRefusedAndNoFileChanged) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  {
    auto c = open_ok(dir, cfg(4, DistanceMetric::Cosine));
    ASSERT_TRUE(c->insert(1, vec_for(1, 4)).ok());
  }
  std::map<std::string, std::string> before;
  for (const char* f : {"meta.json", "wal.log", "data.ovx"}) before[f] = read_bytes(dir + "/" + f);
  auto again = Collection::open_or_create(dir, cfg(8, DistanceMetric::Cosine));
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().to_string(), "collection error: dimension mismatch: collection has 4, config has 8");
  for (const auto& [f, bytes] : before) EXPECT_EQ(read_bytes(dir + "/" + f), bytes) << f;
}

TEST(CollectionOpen, OtherMetricUsedUntilFlushRewritesMeta) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  {
    auto c = open_ok(dir, cfg(2, DistanceMetric::Cosine));
    ASSERT_TRUE(c->insert(1, std::vector<float>{3.0f, 4.0f}).ok());
  }
  auto c = open_ok(dir, cfg(2, DistanceMetric::Euclidean));
  auto r = c->search(std::vector<float>{0.0f, 0.0f}, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].distance, 5.0f);
  EXPECT_NE(read_bytes(dir + "/meta.json").find("\"Cosine\""), std::string::npos);
  ASSERT_TRUE(c->flush().ok());
  EXPECT_EQ(read_bytes(dir + "/meta.json"),
            "{\n  \"dimension\": 2,\n  \"metric\": \"Euclidean\",\n  \"vector_count\": 1,\n  \"next_id\": 2\n}");
}

TEST(CollectionOpen, MetaErrorsCarryTheirPrefix) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  { open_ok(dir, cfg(4)); }
  write_bytes(dir + "/meta.json", R"({"dimension":4,"metric":"Cosine","vector_count":0})");
  auto r = Collection::open_or_create(dir, cfg(4));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string().rfind("collection error: parse meta failed: ", 0), 0u);
  EXPECT_NE(r.error().to_string().find("missing field `next_id`"), std::string::npos);

  write_bytes(dir + "/meta.json", "[4, \"x\", 0, 1]\n");
  EXPECT_TRUE(Collection::open_or_create(dir, cfg(4)).ok());

  write_bytes(dir + "/meta.json", "{\"metric\":\"\xff\"}");
  r = Collection::open_or_create(dir, cfg(4));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string().rfind("collection error: read meta failed: ", 0), 0u);
}

TEST(CollectionOpen, DirectoryWithoutMetaOpensAsNewAndRecovers) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  {
    auto c = open_ok(dir, cfg(3));
    ASSERT_TRUE(c->insert(5, vec_for(5, 3)).ok());
  }
  stdfs::remove(dir + "/meta.json");
  auto c = open_ok(dir, cfg(3, DistanceMetric::Cosine));
  EXPECT_EQ(c->len(), 1u);
  EXPECT_NE(read_bytes(dir + "/meta.json").find("\"next_id\": 6"), std::string::npos);
}

TEST(CollectionOpen, CreateDirFailureIsReported) {
  TempDir tmp;
  write_bytes(tmp.sub("file"), "x");
  auto r = Collection::open_or_create(tmp.sub("file/sub"), cfg(2));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string().rfind("collection error: create dir failed: ", 0), 0u) << r.error().to_string();
}

// ---- insert, reopen, flush -------------------------------------------------

TEST(CollectionInsert, SurvivesReopenWithoutFlushAndKeepsOneLiveRecordPerId) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  {
    auto c = open_ok(dir, cfg(4));
    for (uint64_t id : {7, 3, 9}) ASSERT_TRUE(c->insert(id, vec_for(id, 4)).ok());
    EXPECT_EQ(c->next_id(), 10u);
  }
  for (int cycle = 0; cycle < 3; ++cycle) {
    auto c = open_ok(dir, cfg(4));
    EXPECT_EQ(all_ids(*c), (std::multiset<uint64_t>{3, 7, 9}));
    for (uint64_t id : {7, 3, 9}) EXPECT_TRUE(holds(*c, id, vec_for(id, 4)));
    EXPECT_EQ(c->next_id(), 10u);
    c.reset();
    EXPECT_EQ(live_records(dir), 3u) << "cycle " << cycle;
  }
}

TEST(CollectionInsert, FlushEmptiesLogAndReopenLoadsDataFileAlone) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  {
    auto c = open_ok(dir, cfg(4));
    for (uint64_t id = 1; id <= 2; ++id) ASSERT_TRUE(c->insert(id, vec_for(id, 4)).ok());
    ASSERT_TRUE(c->flush().ok());
    EXPECT_EQ(size_of(dir + "/wal.log"), 0u);
    EXPECT_NE(read_bytes(dir + "/meta.json").find("\"vector_count\": 2"), std::string::npos);
    ASSERT_TRUE(c->insert(3, vec_for(3, 4)).ok());
  }
  auto c = open_ok(dir, cfg(4));
  EXPECT_EQ(all_ids(*c), (std::multiset<uint64_t>{1, 2, 3}));
  ASSERT_TRUE(c->flush().ok());
  c.reset();
  EXPECT_EQ(size_of(dir + "/wal.log"), 0u);
  EXPECT_EQ(live_records(dir), 3u);
  c = open_ok(dir, cfg(4));
  EXPECT_EQ(c->len(), 3u);
  EXPECT_TRUE(holds(*c, 3, vec_for(3, 4)));
}

TEST(CollectionInsert, FlushWithoutInsertionsRewritesMeta) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  auto c = open_ok(dir, cfg(4, DistanceMetric::Cosine));
  stdfs::remove(dir + "/meta.json");
  ASSERT_TRUE(c->flush().ok());
  EXPECT_EQ(read_bytes(dir + "/meta.json"), kMeta4Cosine);
  EXPECT_EQ(size_of(dir + "/wal.log"), 0u);
}

TEST(CollectionInsert, ReinsertReplacesAndSurvivesFlushAndReopen) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  {
    auto c = open_ok(dir, cfg(4));
    ASSERT_TRUE(c->insert(1, vec_for(1, 4, 0)).ok());
    ASSERT_TRUE(c->flush().ok());
    ASSERT_TRUE(c->insert(1, vec_for(1, 4, 1)).ok());
    ASSERT_TRUE(c->insert(1, vec_for(1, 4, 2)).ok());
    EXPECT_EQ(all_ids(*c), (std::multiset<uint64_t>{1}));
    EXPECT_TRUE(holds(*c, 1, vec_for(1, 4, 2)));
    ASSERT_TRUE(c->flush().ok());
  }
  EXPECT_EQ(live_records(dir), 1u);
  auto c = open_ok(dir, cfg(4));
  EXPECT_EQ(c->len(), 1u);
  EXPECT_TRUE(holds(*c, 1, vec_for(1, 4, 2)));
}

TEST(CollectionInsert, NextIdGrowsAndWrapsForLargestId) {
  TempDir tmp;
  auto c = open_ok(tmp.sub("c"), cfg(1));
  ASSERT_TRUE(c->insert(7, std::vector<float>{1}).ok());
  ASSERT_TRUE(c->insert(3, std::vector<float>{1}).ok());
  EXPECT_EQ(c->next_id(), 8u);
  ASSERT_TRUE(c->insert(~uint64_t{0}, std::vector<float>{1}).ok());
  EXPECT_EQ(c->next_id(), 8u);
}

TEST(CollectionInsert, WrongLengthRefusedBeforeAnythingIsWritten) {
  const std::string dir = "/c";
  testing::MemFs ffs;
  {
    auto c = open_ok(dir, cfg(4), &ffs);
    ffs.clear_log();
    Status s = c->insert(1, std::vector<float>{1, 2, 3});
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), Error::Kind::DimensionMismatch);
    EXPECT_EQ(s.error().to_string(), "dimension mismatch: expected 4, got 3");
    EXPECT_FALSE(c->apply_insert_no_wal(2, std::vector<float>{1}, {}).ok());
    EXPECT_FALSE(c->apply_update_no_wal(2, std::vector<float>{1}, {}).ok());
    EXPECT_EQ(c->len(), 0u);
    EXPECT_EQ(c->next_id(), 1u);
  }
  for (const auto& op : ffs.log()) EXPECT_NE(op.op, testing::Op::Write) << op.path;
  EXPECT_EQ(ffs.contents(dir + "/wal.log").size(), 0u);
  EXPECT_EQ(ffs.contents(dir + "/data.ovx").size(), 0u);
  EXPECT_TRUE(Collection::open_or_create(dir, cfg(4), &ffs).ok());
}

// Whole frames in the first `n` bytes of a log.
uint64_t whole_frames(const std::string& log, size_t n) {
  uint64_t frames = 0;
  size_t pos = 0;
  while (pos + 8 <= n) {
    uint32_t len;
    std::memcpy(&len, log.data() + pos + 4, 4);
    if (pos + 8 + len > n) break;
    pos += 8 + len;
    ++frames;
  }
  return frames;
}

class CollectionWriteAhead : public ::testing::TestWithParam<SyncMode> {};

// A record may reach the data file only behind a synced log entry that
// describes it: replaying an older log entry over a newer record would
// bring an earlier vector of a re-inserted id back after a crash.
TEST_P(CollectionWriteAhead, NoRecordReachesTheDataFileAheadOfTheSyncedLog) {
  const std::string dir = "/c";
  testing::MemFs ffs;
  {
    auto c = open_ok(dir, cfg(128, DistanceMetric::Euclidean, GetParam()), &ffs);
    ffs.clear_log();
    for (uint64_t i = 0; i < 250; ++i) ASSERT_TRUE(c->insert(i % 180, vec_for(i % 180, 128, i)).ok());
  }  // destruction writes out what waits
  const uint64_t record = 17 + 4 * 128 + 11;
  std::string wal_bytes;
  size_t wal_synced = 0;
  uint64_t data_bytes = 0;
  const auto log = ffs.log();
  for (size_t i = 0; i < log.size(); ++i) {
    const auto& op = log[i];
    if (op.error != 0) continue;
    const bool wal = op.path.find("wal.log") != std::string::npos;
    const bool data = op.path.find("data.ovx") != std::string::npos;
    if (wal && op.op == testing::Op::Write) wal_bytes += op.bytes;
    if (wal && op.op == testing::Op::Sync) wal_synced = wal_bytes.size();
    if (data && op.op == testing::Op::Write) {
      data_bytes += op.bytes.size();
      EXPECT_LE(data_bytes / record, whole_frames(wal_bytes, wal_synced)) << "at op " << i;
    }
  }
  EXPECT_EQ(data_bytes, 250 * record);
  EXPECT_EQ(whole_frames(wal_bytes, wal_bytes.size()), 250u);
  // Everything is found again, the newest vector of each id.
  auto c = open_ok(dir, cfg(128, DistanceMetric::Euclidean, GetParam()), &ffs);
  EXPECT_EQ(c->len(), 180u);
  for (uint64_t i = 70; i < 250; ++i) EXPECT_TRUE(holds(*c, i % 180, vec_for(i % 180, 128, i))) << i;
}

INSTANTIATE_TEST_SUITE_P(Modes, CollectionWriteAhead,
                         ::testing::Values(SyncMode::Always, SyncMode::Batch, SyncMode::Manual));

TEST(CollectionInsert, NonFiniteComponentRefusedByTheLog) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  {
    auto c = open_ok(dir, cfg(2));
    Status s = c->insert(1, std::vector<float>{1.0f, std::numeric_limits<float>::quiet_NaN()});
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), Error::Kind::WalCorrupted);
    EXPECT_EQ(c->len(), 0u);
  }
  EXPECT_TRUE(Collection::open_or_create(dir, cfg(2)).ok());
}

TEST(CollectionInsert, FailedLogAppendChangesNothing) {
  testing::MemFs ffs;
  auto c = open_ok("/c", cfg(2, DistanceMetric::Euclidean, SyncMode::Always), &ffs);
  ffs.add_fault({.op = testing::Op::Write, .nth = 1, .error = ENOSPC, .path_contains = "wal.log"});
  Status s = c->insert(4, std::vector<float>{1, 2});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(c->len(), 0u);
  EXPECT_EQ(c->next_id(), 1u);
  for (const auto& op : ffs.log()) {
    if (op.path.find("data.ovx") != std::string::npos) EXPECT_NE(op.op, testing::Op::Write);
  }
}

// ---- payloads, filters, the apply operations --------------------------------

TEST(CollectionPayload, PayloadsAndFiltersSurviveReopen) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  {
    auto c = open_ok(dir, cfg(2));
    for (uint64_t id = 1; id <= 6; ++id) {
      Payload p;
      p.data["color"] = id % 2 ? "red" : "blue";
      p.data["n"] = id;
      ASSERT_TRUE(c->insert(id, std::vector<float>{float(id), 0}, std::move(p)).ok());
    }
    ASSERT_TRUE(c->flush().ok());
  }
  auto c = open_ok(dir, cfg(2));
  auto r = c->search(std::vector<float>{0, 0}, 2, Filter::eq("color", "blue"));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].id, 2u);
  EXPECT_EQ(r[1].id, 4u);
  ASSERT_TRUE(r[0].payload.has_value());
  EXPECT_EQ(r[0].payload->data.at("n"), Json(2u));
  auto none = c->search(std::vector<float>{0, 0}, 3, Filter::gt("n", 100u));
  EXPECT_TRUE(none.empty());
  auto bare = c->search(std::vector<float>{0, 0}, 1, std::nullopt, false);
  ASSERT_EQ(bare.size(), 1u);
  EXPECT_FALSE(bare[0].payload.has_value());
  std::vector<float> queries = {0, 0, 6, 0};
  auto batch = c->search_batch(queries, 2, 1);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[0][0].id, 1u);
  EXPECT_EQ(batch[1][0].id, 6u);
}

TEST(CollectionApply, UpdateAndDeleteWithoutLog) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  auto c = open_ok(dir, cfg(2));
  ASSERT_TRUE(c->insert(1, std::vector<float>{1, 1}).ok());
  auto gone = c->apply_delete_no_wal(42);
  ASSERT_TRUE(gone.ok());
  EXPECT_FALSE(*gone);
  ASSERT_TRUE(c->apply_update_no_wal(50, std::vector<float>{2, 2}, {}).ok());
  EXPECT_EQ(c->next_id(), 2u);  // an update leaves the counter alone
  ASSERT_TRUE(c->apply_update_no_wal(1, std::vector<float>{3, 3}, {}).ok());
  EXPECT_TRUE(holds(*c, 1, {3, 3}));
  auto had = c->apply_delete_no_wal(1);
  ASSERT_TRUE(had.ok());
  EXPECT_TRUE(*had);
  EXPECT_EQ(all_ids(*c), (std::multiset<uint64_t>{50}));
  ASSERT_TRUE(c->flush().ok());
  c.reset();
  EXPECT_EQ(live_records(dir), 1u);
}

TEST(CollectionRecover, ReplaysUpdateDeleteAndCheckpointEntries) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  stdfs::create_directories(dir);
  {
    auto wal = Wal::open(fs::posix(), dir + "/wal.log", SyncMode::Manual);
    ASSERT_TRUE(wal.ok());
    Wal& w = **wal;
    ASSERT_TRUE(w.append({WalEntryKind::Insert, 1, {1, 0}, {}}).ok());
    ASSERT_TRUE(w.append({WalEntryKind::Insert, 2, {2, 0}, {}}).ok());
    ASSERT_TRUE(w.append({WalEntryKind::Checkpoint, 0, {}, {}}).ok());
    ASSERT_TRUE(w.append({WalEntryKind::Update, 1, {9, 9}, {}}).ok());
    ASSERT_TRUE(w.append({WalEntryKind::Delete, 2, {}, {}}).ok());
    ASSERT_TRUE(w.append({WalEntryKind::Delete, 77, {}, {}}).ok());
    ASSERT_TRUE(w.append({WalEntryKind::Insert, 3, {3, 0}, {}}).ok());
    ASSERT_TRUE(w.sync().ok());
  }
  for (int round = 0; round < 2; ++round) {
    auto c = open_ok(dir, cfg(2));
    EXPECT_EQ(all_ids(*c), (std::multiset<uint64_t>{1, 3}));
    EXPECT_TRUE(holds(*c, 1, {9, 9}));
    EXPECT_EQ(c->next_id(), 4u);
    c.reset();
    EXPECT_EQ(live_records(dir), 2u);
  }
}

TEST(CollectionRecover, NewestLiveRecordOfAnIdWins) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  stdfs::create_directories(dir);
  {
    auto df = DataFile::open(fs::posix(), dir + "/data.ovx");
    ASSERT_TRUE(df.ok());
    ASSERT_TRUE((*df)->append(4, std::vector<float>{1, 1}, {}).ok());
    ASSERT_TRUE((*df)->append(4, std::vector<float>{2, 2}, {}).ok());
    ASSERT_TRUE((*df)->append(9, std::vector<float>{1, 2, 3}, {}).ok());  // wrong length
    ASSERT_TRUE((*df)->flush().ok());
  }
  {
    auto c = open_ok(dir, cfg(2));
    EXPECT_EQ(all_ids(*c), (std::multiset<uint64_t>{4}));
    EXPECT_TRUE(holds(*c, 4, {2, 2}));
    EXPECT_EQ(c->next_id(), 10u);  // the wrong-length record still counts
    ASSERT_TRUE(c->flush().ok());
  }
  auto c = open_ok(dir, cfg(2));
  EXPECT_TRUE(holds(*c, 4, {2, 2}));
  c.reset();
  EXPECT_EQ(live_records(dir), 2u);  // 4 (newest) and the unusable 9
}

// ---- torn tails -------------------------------------------------------------

struct TornCase {
  uint64_t wal_cut;   // bytes cut off the end of wal.log
  uint64_t data_cut;  // bytes cut off the end of data.ovx
  std::string zeros;  // appended to wal.log after the cut
};

class CollectionTornTail : public ::testing::TestWithParam<TornCase> {};

TEST_P(CollectionTornTail, ReopenInsertReopenLosesNothing) {
  const TornCase& tc = GetParam();
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  const uint64_t dim = 3;
  {
    auto c = open_ok(dir, cfg(dim));
    for (uint64_t id = 1; id <= 5; ++id) ASSERT_TRUE(c->insert(id, vec_for(id, dim)).ok());
    ASSERT_TRUE(c->flush().ok());
    for (uint64_t id = 6; id <= 8; ++id) ASSERT_TRUE(c->insert(id, vec_for(id, dim)).ok());
  }
  stdfs::resize_file(dir + "/wal.log", size_of(dir + "/wal.log") - tc.wal_cut);
  stdfs::resize_file(dir + "/data.ovx", size_of(dir + "/data.ovx") - tc.data_cut);
  if (!tc.zeros.empty()) {
    std::ofstream(dir + "/wal.log", std::ios::binary | std::ios::app) << tc.zeros;
  }
  std::set<uint64_t> expected;
  {
    auto c = open_ok(dir, cfg(dim));
    ASSERT_TRUE(c);
    for (uint64_t id : all_ids(*c)) expected.insert(id);
    for (uint64_t id = 1; id <= 7; ++id) EXPECT_TRUE(expected.count(id)) << id;
    for (uint64_t id : expected) EXPECT_TRUE(holds(*c, id, vec_for(id, dim))) << id;
    ASSERT_TRUE(c->insert(100, vec_for(100, dim)).ok());
    ASSERT_TRUE(c->insert(101, vec_for(101, dim)).ok());
    expected.insert({100, 101});
  }
  for (int round = 0; round < 2; ++round) {
    auto c = open_ok(dir, cfg(dim));
    std::multiset<uint64_t> ids = all_ids(*c);
    EXPECT_EQ(std::set<uint64_t>(ids.begin(), ids.end()), expected);
    EXPECT_EQ(ids.size(), expected.size());
    for (uint64_t id : expected) EXPECT_TRUE(holds(*c, id, vec_for(id, dim))) << id;
    if (round == 0) ASSERT_TRUE(c->flush().ok());
  }
}

INSTANTIATE_TEST_SUITE_P(Cuts, CollectionTornTail,
                         ::testing::Values(TornCase{1, 1, ""}, TornCase{5, 0, ""}, TornCase{0, 7, ""},
                                           TornCase{9, 30, ""}, TornCase{0, 0, std::string(100, '\0')},
                                           TornCase{0, 2, std::string(5, '\0')}));

// ---- the file layer: meta.json, directory syncs, failing syncs -------------

TEST(CollectionMeta, ReplacedAtomicallyThroughATemporaryFile) {
  testing::MemFs ffs;
  ASSERT_TRUE(ffs.create_dirs("/t").ok());
  const std::string dir = "/t/x/c";
  auto c = open_ok(dir, cfg(4), &ffs);
  auto log = ffs.log();
  auto find = [&](testing::Op op, const std::string& path, size_t from = 0) {
    for (size_t i = from; i < log.size(); ++i) {
      if (log[i].op == op && log[i].path == path && log[i].error == 0) return i;
    }
    return log.size();
  };
  const std::string tmpfile = dir + "/meta.json.tmp";
  size_t open_tmp = find(testing::Op::Open, tmpfile);
  size_t write_tmp = find(testing::Op::Write, tmpfile, open_tmp);
  size_t sync_tmp = find(testing::Op::Sync, tmpfile, write_tmp);
  size_t rename = find(testing::Op::Rename, tmpfile, sync_tmp);
  size_t sync_dir = find(testing::Op::SyncDir, dir, rename);
  ASSERT_LT(sync_dir, log.size());
  EXPECT_EQ(log[rename].target, dir + "/meta.json");
  // The directories this open created are recorded in their parents.
  EXPECT_LT(find(testing::Op::SyncDir, "/t/x", sync_dir), log.size());
  EXPECT_LT(find(testing::Op::SyncDir, "/t", sync_dir), log.size());
  EXPECT_FALSE(ffs.exists(tmpfile));

  // A failing rename reports the error, keeps the old file, leaves no temp.
  const std::string before = ffs.contents(dir + "/meta.json");
  ASSERT_TRUE(c->insert(1, vec_for(1, 4)).ok());
  ffs.add_fault({.op = testing::Op::Rename, .nth = 1, .error = EIO});
  Status s = c->flush();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().to_string().rfind("collection error: write meta failed: ", 0), 0u) << s.error().to_string();
  EXPECT_EQ(ffs.contents(dir + "/meta.json"), before);
  EXPECT_FALSE(ffs.exists(tmpfile));
  ASSERT_TRUE(c->flush().ok());
  EXPECT_NE(ffs.contents(dir + "/meta.json").find("\"vector_count\": 1"), std::string::npos);
}

TEST(CollectionFlush, FailedDataSyncKeepsFailingAndKeepsTheLog) {
  const std::string dir = "/c";
  testing::MemFs ffs;
  {
    auto c = open_ok(dir, cfg(2), &ffs);
    ASSERT_TRUE(c->insert(1, std::vector<float>{1, 1}).ok());
    ffs.add_fault({.op = testing::Op::Sync, .nth = 1, .error = EIO, .path_contains = "data.ovx"});
    Status first = c->flush();
    ASSERT_FALSE(first.ok());
    const std::string text = first.error().to_string();
    EXPECT_NE(text.find("(os error 5)"), std::string::npos) << text;
    // The next sync would succeed, but the failure is remembered.
    for (int i = 0; i < 2; ++i) {
      Status again = c->flush();
      ASSERT_FALSE(again.ok());
      EXPECT_EQ(again.error().to_string(), text);
    }
    // Insertions and searches keep working.
    ASSERT_TRUE(c->insert(2, std::vector<float>{2, 2}).ok());
    EXPECT_EQ(all_ids(*c), (std::multiset<uint64_t>{1, 2}));
    EXPECT_FALSE(c->flush().ok());
  }
  EXPECT_GT(ffs.contents(dir + "/wal.log").size(), 0u);
  auto c = open_ok(dir, cfg(2), &ffs);
  EXPECT_EQ(all_ids(*c), (std::multiset<uint64_t>{1, 2}));
  EXPECT_TRUE(c->flush().ok());
}

TEST(CollectionFlush, FailedCheckpointKeepsEntriesForReplay) {
  const std::string dir = "/c";
  testing::MemFs ffs;
  {
    auto c = open_ok(dir, cfg(2), &ffs);
    ASSERT_TRUE(c->insert(1, std::vector<float>{1, 1}).ok());
    ffs.add_fault({.op = testing::Op::Sync, .nth = 1, .error = EIO, .path_contains = "wal.log"});
    EXPECT_FALSE(c->flush().ok());
  }
  auto c = open_ok(dir, cfg(2), &ffs);
  EXPECT_EQ(all_ids(*c), (std::multiset<uint64_t>{1}));
}

// While insertions run on other threads, a flush never lets a log entry be
// written between forcing the data file and emptying the log: everything
// written to wal.log in that window is the checkpoint's own frame.
TEST(CollectionFlush, NoInsertionSlipsBetweenDataSyncAndCheckpoint) {
  const std::string dir = "/c";
  testing::MemFs ffs;
  auto c = open_ok(dir, cfg(4, DistanceMetric::Euclidean, SyncMode::Always), &ffs);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> next{1};
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([&] {
      while (!stop) {
        uint64_t id = next++;
        EXPECT_TRUE(c->insert(id, vec_for(id, 4)).ok());
      }
    });
  }
  std::thread searcher([&] {
    while (!stop) (void)c->search(vec_for(1, 4), 3);
  });
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(c->flush().ok());
  stop = true;
  for (auto& w : writers) w.join();
  searcher.join();

  const std::string data = dir + "/data.ovx";
  const std::string wal = dir + "/wal.log";
  bool in_window = false;
  int windows = 0;
  for (const auto& op : ffs.log()) {
    if (op.op == testing::Op::Sync && op.path == data) {
      in_window = true;
    } else if (op.op == testing::Op::Open && op.path == wal &&
               op.arg == static_cast<uint64_t>(fs::OpenMode::WriteCreateTruncate)) {
      if (in_window) ++windows;
      in_window = false;
    } else if (in_window && op.op == testing::Op::Write && op.path == wal) {
      EXPECT_NE(op.bytes.find("\"Checkpoint\""), std::string::npos);
      EXPECT_EQ(op.bytes.find("\"Insert\""), std::string::npos);
    }
  }
  EXPECT_EQ(windows, 20);
  c.reset();
  auto again = open_ok(dir, cfg(4), &ffs);
  EXPECT_EQ(again->len(), next - 1);
}

// ---- crash test ---------------------------------------------------------------

// The child's workload: operation j (from 1) of round r writes id
// r * 1'000'000 + j, except that every tenth operation writes an earlier id
// of the round again with a new vector. Every vector is made of small exact
// integers and its length grows with j, so each write has its own norm.
constexpr uint64_t kRoundIds = 1000000;
constexpr uint64_t kCrashDim = 8;
constexpr uint64_t kOpsPerRound = 4000;
constexpr uint64_t kFlushEvery = 1500;

uint64_t crash_op_id(uint64_t round, uint64_t j) {
  return round * kRoundIds + (j % 10 == 0 ? j / 2 : j);
}

std::vector<float> crash_vector(uint64_t round, uint64_t j) {
  std::vector<float> v(kCrashDim, 1.0f);
  v[0] = static_cast<float>(crash_op_id(round, j) % kRoundIds);
  v[1] = static_cast<float>(round);
  v[2] = static_cast<float>(j);
  return v;
}

// Inserts, flushing now and then, and writes to `fd` the number of the last
// operation known to be on stable storage: each 100th log entry since the
// open or the last flush is synced, and so is everything before a flush.
[[noreturn]] void crash_child(const std::string& dir, uint64_t round, int fd) {
  auto c = Collection::open_or_create(dir, cfg(kCrashDim));
  if (!c.ok()) _exit(3);
  uint64_t since_sync = 0;
  for (uint64_t j = 1; j <= kOpsPerRound; ++j) {
    if (!(*c)->insert(crash_op_id(round, j), crash_vector(round, j)).ok()) _exit(4);
    bool synced = ++since_sync % Wal::kSyncBatch == 0;
    if (j % kFlushEvery == 0) {
      if (!(*c)->flush().ok()) _exit(5);
      since_sync = 0;
      synced = true;
    }
    if (synced && write(fd, &j, sizeof j) != sizeof j) _exit(6);
  }
  _exit(0);
}

// A child process inserts and flushes and is killed with SIGKILL at a random
// moment (during opening and recovery too); after each kill the directory
// must open, hold every synced insertion with its exact vector, and hold no
// id that was never inserted and no vector that was never given.
TEST(CollectionCrash, KilledWriterLosesNoSyncedInsertion) {
  TempDir tmp;
  const std::string dir = tmp.sub("c");
  std::mt19937_64 rng(12345);
  const int kRounds = 30;
  const std::vector<float> zero(kCrashDim, 0.0f);
  std::vector<uint64_t> synced_upto(kRounds, 0);
  int torn_seen = 0;
  int killed = 0;
  for (int round = 0; round < kRounds; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      crash_child(dir, static_cast<uint64_t>(round), fds[1]);
    }
    close(fds[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 40000));
    if (kill(pid, SIGKILL) == 0) ++killed;
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status)) ASSERT_EQ(WEXITSTATUS(status), 0) << "round " << round;
    uint64_t j = 0;
    while (read(fds[0], &j, sizeof j) == sizeof j) synced_upto[round] = j;
    close(fds[0]);

    // Torn tails actually met (for the record).
    {
      auto df = DataFile::open(fs::posix(), dir + "/data.ovx");
      ASSERT_TRUE(df.ok());
      auto end = (*df)->scan_active([](DataRecord&) {});
      auto wal = Wal::read_all(fs::posix(), dir + "/wal.log");
      ASSERT_TRUE(end.ok());
      ASSERT_TRUE(wal.ok()) << wal.error().to_string();
      if (*end < size_of(dir + "/data.ovx") || wal->end_offset < size_of(dir + "/wal.log")) ++torn_seen;
    }

    auto c = Collection::open_or_create(dir, cfg(kCrashDim));
    ASSERT_TRUE(c.ok()) << "round " << round << ": " << c.error().to_string();
    // The norm of each present id (its distance from zero), by id.
    std::map<uint64_t, float> norm;
    for (const auto& hit : (*c)->search(zero, (*c)->len() + 1, std::nullopt, false)) {
      ASSERT_TRUE(norm.emplace(hit.id, hit.distance).second) << "duplicate id " << hit.id;
    }
    // The writes of each id of every round so far: (op, norm of its vector).
    std::map<uint64_t, std::vector<std::pair<uint64_t, float>>> writes;
    for (int r = 0; r <= round; ++r) {
      for (uint64_t op = 1; op <= kOpsPerRound; ++op) {
        writes[crash_op_id(r, op)].push_back(
            {op, distance(DistanceMetric::Euclidean, zero, crash_vector(r, op))});
      }
    }
    for (const auto& [id, d] : norm) {
      auto w = writes.find(id);
      ASSERT_NE(w, writes.end()) << "id " << id << " was never inserted";
      bool given = false;
      for (const auto& [op, n] : w->second) given |= n == d;
      ASSERT_TRUE(given) << "id " << id << " holds a vector it was never given";
    }
    for (int r = 0; r <= round; ++r) {
      std::map<uint64_t, uint64_t> last_synced;
      for (uint64_t op = 1; op <= synced_upto[r]; ++op) last_synced[crash_op_id(r, op)] = op;
      for (const auto& [id, op] : last_synced) {
        auto it = norm.find(id);
        ASSERT_NE(it, norm.end()) << "round " << r << " lost synced id " << id;
        bool current = false;  // a write at or after the last synced one
        for (const auto& [wop, n] : writes[id]) current |= wop >= op && n == it->second;
        ASSERT_TRUE(current) << "id " << id << " lost its synced write " << op;
      }
      // The exact vector of the newest synced write of the round.
      if (synced_upto[r] > 0) {
        uint64_t op = synced_upto[r];
        uint64_t id = crash_op_id(static_cast<uint64_t>(r), op);
        bool exact = false;
        for (const auto& [wop, n] : writes[id]) {
          if (wop >= op) exact |= holds(**c, id, crash_vector(static_cast<uint64_t>(r), wop));
        }
        EXPECT_TRUE(exact) << "id " << id;
      }
    }
  }
  std::printf("crash test: %d rounds, %d kills, %d torn tails met\n", kRounds, killed, torn_seen);
}

}  // namespace
}  // namespace orvex
