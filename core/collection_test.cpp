#include "collection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "storage/data_file.h"
#include "testing/mem_fs.h"
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
  c = Collection::open_or_create(tmp.file("file"), CollectionConfig{4});
  EXPECT_EQ(c.error().to_string(), "io error: failed to open WAL: Not a directory (os error 20)");
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
  // Emptied: only the entry that starts its generation.
  auto log = Wal::read_all(fs::posix(), dir + "/wal.log").value();
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_TRUE(Wal::generation_of(log.entries[0]));
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

namespace orvex {
namespace {

using orvex::testing::MemFs;
using orvex::testing::Op;

// Floats whose shortest text is unusual: subnormals, zeros, powers of two,
// the extremes, nine significant digits.
std::vector<float> awkward_floats(size_t n, uint32_t seed) {
  std::vector<float> out = {1e-45f, -1e-45f, 1.17549435e-38f, 0.0f, -0.0f, FLT_MAX, -FLT_MAX, 0.5f, 1024.0f,
                            0x1p-126f, 0x1p100f, 1.00000012f, 0.1f, 16777216.0f, 3.40282e38f, 1.23456791e-20f};
  std::mt19937 rng(seed);
  while (out.size() < n) {
    uint32_t bits = static_cast<uint32_t>(rng());
    float f;
    std::memcpy(&f, &bits, 4);
    out.push_back(std::isfinite(f) ? f : static_cast<float>(rng() % 1000) / 7.0f);
  }
  out.resize(n);
  return out;
}

// A batch writes the bytes one insert() per item writes, in both files, on
// any number of threads and across several runs of the log; the log is
// forced once per batch (Batch, Always), never in Manual mode.
TEST(CollectionBatch, SameBytesAsSingleInsertionsAndOneLogSync) {
  const size_t dim = 300, n = 3000;
  const std::vector<float> rows = awkward_floats(n * dim, 7);
  std::vector<uint64_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = i % 97 == 5 ? ids[i / 2] : 1000 + 3 * i;  // some repeat earlier ids
  auto payloads = [&] {
    std::vector<Payload> p(n);
    for (size_t i = 0; i < n; i += 7) p[i].data["k"] = Json(i % 3 ? Json(i) : Json("t\u00e9xt"));
    return p;
  };
  MemFs singles;
  {
    auto c = Collection::open_or_create("/c", {dim, DistanceMetric::Euclidean, SyncMode::Manual}, &singles).value();
    std::vector<Payload> p = payloads();
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(c->insert(ids[i], std::span(rows).subspan(i * dim, dim), p[i]).ok());
  }
  for (SyncMode mode : {SyncMode::Manual, SyncMode::Batch, SyncMode::Always}) {
    for (size_t threads : {1, 3}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + " mode, " + std::to_string(threads) + " threads");
      MemFs fs;
      auto c = Collection::open_or_create("/c", {dim, DistanceMetric::Euclidean, mode}, &fs).value();
      std::vector<Payload> p = payloads();
      const uint64_t syncs = fs.count(Op::Sync);
      ASSERT_TRUE(c->insert_batch(ids, rows, p, threads).ok());
      uint64_t log_syncs = 0;
      for (const auto& r : fs.log()) log_syncs += r.op == Op::Sync && r.path == "/c/wal.log";
      EXPECT_EQ(log_syncs, mode == SyncMode::Manual ? 0u : 1u);
      EXPECT_GE(fs.count(Op::Sync) - syncs, log_syncs);
      c.reset();
      // The same bytes after the entry that starts each log's generation.
      const auto changes = [](const std::string& log) {
        uint32_t first;
        std::memcpy(&first, log.data() + 4, 4);
        return log.substr(8 + first);
      };
      EXPECT_TRUE(changes(fs.contents("/c/wal.log")) == changes(singles.contents("/c/wal.log")));
      EXPECT_TRUE(fs.contents("/c/data.ovx") == singles.contents("/c/data.ovx"));
    }
  }
}

// A batch that fails part way keeps exactly the items before the failing
// one, in memory and after a reopen.
TEST(CollectionBatch, StopsAtTheFirstFailingItem) {
  MemFs fs;
  const CollectionConfig config{4, DistanceMetric::Euclidean, SyncMode::Batch};
  auto c = Collection::open_or_create("/c", config, &fs).value();
  std::vector<uint64_t> ids = {1, 2, 3, 4, 5};
  std::vector<float> rows(20, 1.0f);
  rows[13] = NAN;  // item 3
  const Status st = c->insert_batch(ids, rows, {}, 2);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), "WAL corrupted: serialization failed: vector component 1 is not finite");
  EXPECT_EQ(c->ids().value(), (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(c->insert_batch(ids, std::span(rows).first(19)).error().to_string(),
            "dimension mismatch: expected 20, got 19");
  std::vector<Payload> two(2);
  EXPECT_FALSE(c->insert_batch(ids, std::span(rows).first(20), two).ok());
  // The log refuses the batch's run: none of its items is applied.
  std::vector<uint64_t> many(300);
  for (size_t i = 0; i < many.size(); ++i) many[i] = 10 + i;
  fs.add_fault({Op::Write, 1, ENOSPC, false, std::nullopt, "wal.log"});
  EXPECT_EQ(c->insert_batch(many, std::vector<float>(1200, 0.5f), {}, 2).error().to_string(),
            "io error: write checksum failed: No space left on device (os error 28)");
  fs.clear_faults();
  EXPECT_EQ(c->len(), 3u);
  c.reset();
  auto crashed = fs.after_power_loss();
  for (auto& disk : crashed) {
    EXPECT_EQ(Collection::open_or_create("/c", config, disk.get()).value()->ids().value(),
              (std::vector<uint64_t>{1, 2, 3}));
  }
  auto again = Collection::open_or_create("/c", config, &fs).value();
  EXPECT_EQ(again->remove_batch(std::vector<uint64_t>{3, 9, 1, 3}).value(), 2u);
  EXPECT_EQ(again->ids().value(), (std::vector<uint64_t>{2}));
}


// The bulk path: a chunk whose bytes did not all reach the disk (a page of
// zeros inside it, its entry still in the log) is cut at open with every
// chunk after it; the chunks before it stay.
TEST(CollectionBatch, BulkChunkThatFailsItsCheckIsCutAtOpen) {
  MemFs fs;
  CollectionConfig config{4, DistanceMetric::Euclidean, SyncMode::Batch};
  config.bulk_bytes = 1, config.bulk_chunk_bytes = 440;  // 10 records of 44 bytes a chunk
  auto c = Collection::open_or_create("/c", config, &fs).value();
  std::vector<uint64_t> ids(35);
  std::vector<float> rows(35 * 4, 0.25f);
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = 100 + i;
  fs.add_fault({Op::Rename, 2, EIO, true});  // the closing flush cannot replace the sums: the log keeps the entries
  EXPECT_FALSE(c->insert_batch(ids, rows).ok());
  EXPECT_EQ(c->len(), 35u);
  c.reset();
  fs.clear_faults();
  auto disk = fs.after_process_crash();
  std::string data = disk->contents("/c/data.ovx");
  const size_t second_chunk = data.size() - 35 * 44 + 10 * 44;
  std::fill_n(data.begin() + second_chunk + 50, 20, '\0');
  disk->put("/c/data.ovx", data);
  const auto held = Collection::open_or_create("/c", config, disk.get()).value()->ids().value();
  EXPECT_EQ(held, std::vector<uint64_t>(ids.begin(), ids.begin() + 10));
}

// Payload indexes: recorded in indexes.json and rebuilt at open, dropped,
// a damaged list ignored; a power loss at any change of create_index opens
// as before or with the index; an index whose key every payload lost
// answers like the matcher and holds nothing.
TEST(CollectionIndexes, PersistAndSurviveAPowerLossDuringCreate) {
  orvex::testing::MemFs fs;
  const std::string dir = "/db/i";
  const CollectionConfig cfg{4, DistanceMetric::Euclidean, SyncMode::Always};
  const Filter rank = Filter::lt("rank", 5);
  const auto open = [&](orvex::testing::MemFs& on) {
    auto c = Collection::open_or_create(dir, cfg, &on);
    EXPECT_TRUE(c.ok());
    return c.ok() ? std::move(*c) : nullptr;
  };
  const auto ranks = [&](const Collection& c) {
    std::vector<uint64_t> ids;
    for (const SearchResult& r : c.search(vec(0), 100, &rank, false)) ids.push_back(r.id);
    return ids;
  };
  std::vector<uint64_t> want;
  {
    auto c = open(fs);
    for (uint64_t id = 1; id <= 30; ++id) {
      Payload p;
      p.data["rank"] = id % 10;
      if (id % 7 == 0) p.data["rank"] = Json::array({1});  // kept apart, left to the matcher
      ASSERT_TRUE(c->insert(id, vec(id), p).ok());
    }
    want = ranks(*c);
    std::vector<std::vector<std::string>> seen;
    fs.on_change([&](const orvex::testing::OpRecord&) {
      for (auto& disk : fs.after_power_loss()) {
        auto reopened = open(*disk);
        if (!reopened) return;
        seen.push_back(reopened->indexes());
        EXPECT_EQ(ranks(*reopened), want);
      }
    });
    ASSERT_TRUE(c->create_index("rank").ok());
    fs.on_change(nullptr);
    EXPECT_TRUE(std::count(seen.begin(), seen.end(), std::vector<std::string>{}) > 0);
    EXPECT_TRUE(std::count(seen.begin(), seen.end(), std::vector<std::string>{"rank"}) > 0);
    ASSERT_TRUE(c->create_index("gone").ok());
  }
  {
    auto c = open(fs);
    EXPECT_EQ(c->indexes(), (std::vector<std::string>{"gone", "rank"}));
    EXPECT_EQ(ranks(*c), want);
    for (uint64_t id = 1; id <= 30; ++id) ASSERT_TRUE(c->insert(id, vec(id), Payload{{{"rank", id % 10}}}).ok());
    const Filter gone = Filter::ne("gone", 1);
    EXPECT_EQ(c->search(vec(0), 100, &gone, false).size(), 30u);
    EXPECT_EQ(ranks(*c).size(), 15u);
    ASSERT_EQ(c->stats().indexes.size(), 2u);
    EXPECT_LT(c->stats().indexes[0].second, 300u);  // "gone": no value held, only its own fields
    ASSERT_TRUE(c->drop_index("gone").value());
    EXPECT_FALSE(c->drop_index("gone").value());
  }
  EXPECT_EQ(open(fs)->indexes(), std::vector<std::string>{"rank"});
  fs.put(dir + "/indexes.json", "[\"ra");
  EXPECT_TRUE(open(fs)->indexes().empty());
}

}  // namespace
}  // namespace orvex
