#include "collection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "storage/data_file.h"
#include "storage/test_temp_dir.h"
#include "storage/wal.h"

namespace orvex {
namespace {

using testing::slurp;
using testing::spit;
using testing::TempDir;

std::vector<float> vec(uint64_t id, uint64_t version = 0) {
  return {static_cast<float>(id), 0.5f * static_cast<float>(version), 1.0f, -2.0f};
}

std::unique_ptr<Collection> open_ok(const std::string& path, SyncMode mode = SyncMode::Batch,
                                    DistanceMetric metric = DistanceMetric::Euclidean) {
  auto c = Collection::open_or_create(path, CollectionConfig{4, metric, mode});
  EXPECT_TRUE(c.ok()) << c.error().to_string();
  return c.ok() ? std::move(*c) : nullptr;
}

// id -> vector of everything the collection holds, read back by searches.
std::map<uint64_t, std::vector<float>> content(const Collection& c) {
  std::map<uint64_t, std::vector<float>> out;
  for (const auto& hit : c.search(std::vector<float>(4, 0.0f), c.len() + 1, nullptr, true)) {
    out[hit.id] = {};
  }
  for (auto& [id, v] : out) {
    for (uint64_t version = 0; version < 8 && v.empty(); ++version) {
      auto r = c.search(vec(id, version), 1, nullptr, false);
      if (!r.empty() && r[0].id == id && r[0].distance == 0.0f) v = vec(id, version);
    }
  }
  return out;
}

// The live records of the data file, per id.
std::map<uint64_t, int> live_records(const std::string& dir) {
  auto d = DataFile::open(fs::posix(), dir + "/data.ovx");
  std::map<uint64_t, int> count;
  const auto scan = (*d)->iter_active();
  for (const DataRecord& r : scan->records) ++count[r.id];
  return count;
}

TEST(Collection, NewDirectoryGetsThreeFilesAndAnotherDimensionIsRefused) {
  TempDir tmp;
  const std::string dir = tmp.file("a/b/c");
  {
    auto c = open_ok(dir, SyncMode::Batch, DistanceMetric::Cosine);
    EXPECT_EQ(slurp(dir + "/meta.json"),
              "{\n  \"dimension\": 4,\n  \"metric\": \"Cosine\",\n  \"vector_count\": 0,\n  \"next_id\": 1\n}");
    ASSERT_TRUE(c->insert(1, vec(1)).ok());
  }
  std::map<std::string, std::string> before;
  for (const char* f : {"meta.json", "wal.log", "data.ovx"}) before[f] = slurp(dir + "/" + f);
  auto refused = Collection::open_or_create(dir, CollectionConfig{8, DistanceMetric::Cosine, SyncMode::Batch});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().to_string(), "collection error: dimension mismatch: collection has 4, config has 8");
  for (const auto& [f, bytes] : before) EXPECT_EQ(slurp(dir + "/" + f), bytes) << f;
  EXPECT_FALSE(std::filesystem::exists(dir + "/meta.json.tmp"));

  // Another metric is used at once; meta.json says so from the next flush.
  auto c = open_ok(dir, SyncMode::Batch, DistanceMetric::Euclidean);
  EXPECT_EQ(c->search(vec(1), 1)[0].distance, 0.0f);
  ASSERT_TRUE(c->flush().ok());
  EXPECT_NE(slurp(dir + "/meta.json").find("\"metric\": \"Euclidean\",\n  \"vector_count\": 1,\n  \"next_id\": 2"),
            std::string::npos);
}

TEST(Collection, OpeningErrorsNameTheirStep) {
  TempDir tmp;
  const std::pair<std::string, std::string> metas[] = {
      {"{\"dimension\": 4}", "collection error: parse meta failed: missing field `metric`"},
      {"\xff", "collection error: read meta failed: stream did not contain valid UTF-8"},
  };
  for (const auto& [text, error] : metas) {
    std::filesystem::create_directories(tmp.file("m"));
    spit(tmp.file("m/meta.json"), text);
    auto c = Collection::open_or_create(tmp.file("m"), CollectionConfig{4});
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().to_string().substr(0, error.size()), error);
  }
  spit(tmp.file("file"), "x");
  auto c = Collection::open_or_create(tmp.file("file/sub"), CollectionConfig{4});
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().to_string(), "collection error: create dir failed: Not a directory (os error 20)");
  c = Collection::open_or_create(std::string("nul\0dir", 7), CollectionConfig{4});
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().to_string(), "collection error: create dir failed: file name contained an unexpected NUL byte");
}

TEST(Collection, ReinsertionsSurviveReopeningAndFlushLeavesOneLiveRecordPerId) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  std::map<uint64_t, std::vector<float>> expected;
  for (int round = 0; round < 3; ++round) {
    auto c = open_ok(dir);
    EXPECT_EQ(content(*c), expected) << round;
    for (uint64_t id = 1; id <= 150; ++id) {
      if (id % (round + 2) != 0) continue;
      ASSERT_TRUE(c->insert(id, vec(id, round)).ok());
      expected[id] = vec(id, round);
    }
    EXPECT_EQ(content(*c), expected);
    if (round == 1) ASSERT_TRUE(c->flush().ok());
  }
  auto c = open_ok(dir);
  EXPECT_EQ(content(*c), expected);
  EXPECT_EQ(c->next_id(), 151u);
  ASSERT_TRUE(c->flush().ok());
  EXPECT_EQ(slurp(dir + "/wal.log"), "");
  for (const auto& [id, n] : live_records(dir)) EXPECT_EQ(n, 1) << id;
  EXPECT_EQ(live_records(dir).size(), expected.size());
  ASSERT_TRUE(c->insert(UINT64_MAX, vec(1)).ok());
  EXPECT_EQ(c->next_id(), 151u);  // id + 1 wraps to 0: no change
}

TEST(Collection, AVectorOfTheWrongLengthIsRefusedBeforeAnythingIsWritten) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  {
    auto c = open_ok(dir);
    auto st = c->insert(1, std::vector<float>{1, 2});
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().to_string(), "dimension mismatch: expected 4, got 2");
    ASSERT_TRUE(c->insert(2, vec(2)).ok());
  }
  EXPECT_EQ(content(*open_ok(dir)).size(), 1u);  // the log holds only what was accepted
}

TEST(Collection, ApplyOperationsAndReplayedUpdateAndDeleteEntries) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  {
    auto c = open_ok(dir);
    ASSERT_TRUE(c->insert(1, vec(1)).ok());
    ASSERT_TRUE(c->insert(2, vec(2)).ok());
    ASSERT_TRUE(c->flush().ok());
    ASSERT_TRUE(c->apply_update_no_wal(1, vec(1, 1), {}).ok());
    EXPECT_TRUE(c->apply_delete_no_wal(2).value());
    EXPECT_FALSE(c->apply_delete_no_wal(2).value());
    ASSERT_TRUE(c->apply_update_no_wal(9, vec(9), {}).ok());
    EXPECT_EQ(c->next_id(), 3u);  // an update leaves next_id alone
  }
  EXPECT_EQ(content(*open_ok(dir)), (std::map<uint64_t, std::vector<float>>{{1, vec(1, 1)}, {9, vec(9)}}));
  {
    auto wal = Wal::open(fs::posix(), dir + "/wal.log", 0);
    ASSERT_TRUE((*wal)->append({WalEntryKind::Update, 1, vec(1, 2), {}}).ok());
    ASSERT_TRUE((*wal)->append({WalEntryKind::Checkpoint, 0, {}, {}}).ok());
    ASSERT_TRUE((*wal)->append({WalEntryKind::Delete, 9, {}, {}}).ok());
    ASSERT_TRUE((*wal)->append({WalEntryKind::Insert, 5, vec(5), {}}).ok());
  }
  EXPECT_EQ(content(*open_ok(dir)), (std::map<uint64_t, std::vector<float>>{{1, vec(1, 2)}, {5, vec(5)}}));
}

TEST(Collection, DeletionsGetsCompactionAndTheDirectoryLock) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  std::map<uint64_t, std::vector<float>> expected;
  {
    auto c = open_ok(dir);
    auto second = Collection::open_or_create(dir, CollectionConfig{4});
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().to_string().rfind("collection error: collection is in use: ", 0), 0u);
    for (uint64_t id = 1; id <= 40; ++id) {
      Payload p;
      p.data["id"] = id;
      ASSERT_TRUE(c->insert(id, vec(id), p).ok());
      expected[id] = vec(id);
    }
    ASSERT_TRUE(c->flush().ok());
    for (uint64_t id = 1; id <= 40; id += 3) {
      EXPECT_TRUE(c->remove(id).value());
      expected.erase(id);
    }
    EXPECT_FALSE(c->remove(1).value());
    ASSERT_TRUE(c->insert(2, vec(2, 1)).ok());
    expected[2] = vec(2, 1);
    const uint64_t log = c->stats().log_bytes;
    EXPECT_FALSE(c->remove(1000).value());
    EXPECT_EQ(c->stats().log_bytes, log);  // an absent id writes nothing
    std::vector<float> v;
    Payload p;
    EXPECT_TRUE(c->get(5, &v, &p).value());
    EXPECT_EQ(v, vec(5));
    EXPECT_EQ(p.data.at("id"), 5);
    EXPECT_FALSE(c->get(4, &v, &p).value());
    EXPECT_FALSE(c->contains(4));
  }
  // The deletions are in the log only; they survive reopening, then a
  // flush marks their records.
  auto c = open_ok(dir);
  EXPECT_EQ(content(*c), expected);
  ASSERT_TRUE(c->flush().ok());
  EXPECT_EQ(live_records(dir).size(), expected.size());
  const Collection::Stats before = c->stats();
  EXPECT_EQ(before.vectors, expected.size());
  EXPECT_EQ(before.dead_records, 40 + 2 - expected.size());  // id 2 appended again by the replay
  const uint64_t reclaimed = c->compact().value();
  EXPECT_EQ(reclaimed, before.data_bytes - c->stats().data_bytes);
  EXPECT_EQ(c->stats().dead_records, 0u);
  EXPECT_EQ(std::filesystem::file_size(dir + "/data.ovx"), c->stats().data_bytes);
  ASSERT_TRUE(c->remove(5).value());  // offsets moved: the id map follows
  ASSERT_TRUE(c->insert(8, vec(8, 2)).ok());
  expected.erase(5);
  expected[8] = vec(8, 2);
  ASSERT_TRUE(c->flush().ok());
  std::vector<uint64_t> ids;
  for (const auto& [id, v] : expected) ids.push_back(id);
  EXPECT_EQ(c->ids().value(), ids);
  c.reset();
  EXPECT_EQ(content(*open_ok(dir)), expected);
  EXPECT_EQ(live_records(dir).size(), expected.size());
}

TEST(Collection, PayloadsAndFiltersSurviveReopening) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  {
    auto c = open_ok(dir);
    for (uint64_t id = 1; id <= 20; ++id) {
      Payload p;
      p.data["rank"] = id;
      ASSERT_TRUE(c->insert(id, vec(id), p).ok());
    }
    ASSERT_TRUE(c->flush().ok());
    Payload p;
    p.data["rank"] = 100;
    ASSERT_TRUE(c->insert(3, vec(3), p).ok());
  }
  auto c = open_ok(dir);
  const Filter rank_18 = Filter::gte("rank", 18);
  auto hits = c->search(vec(0), 3, &rank_18, true);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].id, 3u);
  EXPECT_EQ(hits[0].payload->data.at("rank"), 100);
}

// Searches run beside insertions and flushes; every search sees a whole
// state, and racing re-insertions of the same ids leave one entry per id.
TEST(Collection, SharedBetweenThreads) {
  TempDir tmp;
  auto c = open_ok(tmp.file("c"));
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> searchers;
  for (int t = 0; t < 2; ++t) {
    searchers.emplace_back([&] {
      while (!stop) {
        auto r = c->search(vec(0), 1000, nullptr, false);
        std::set<uint64_t> ids;
        for (const auto& h : r) bad += !ids.insert(h.id).second;
        if (r.size() > 200) ++bad;
      }
    });
  }
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (!c->insert(static_cast<uint64_t>(i % 200), vec(i % 200, t)).ok()) ++bad;
        if (i % 500 == 0 && !c->flush().ok()) ++bad;
      }
    });
  }
  for (auto& w : writers) w.join();
  stop = true;
  for (auto& s : searchers) s.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(c->len(), 200u);
  ASSERT_TRUE(c->flush().ok());
  EXPECT_EQ(live_records(tmp.file("c")).size(), 200u);
}

}  // namespace
}  // namespace orvex
