// Readers beside a writer: every snapshot a reader takes is a prefix of the
// writer's changes, never behind the one before; after a sync it is all of
// them; searches see one snapshot whole.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "collection.h"
#include "testing/mem_fs.h"

namespace orvex {
namespace {

using testing::MemFs;

constexpr uint64_t kDim = 4;
using Content = std::map<uint64_t, std::pair<std::vector<float>, Payload>>;

Content content_of(const Collection& c) {
  Content out;
  const std::vector<uint64_t> ids = c.ids().value();
  for (uint64_t id : ids) {
    std::vector<float> v;
    Payload p;
    EXPECT_TRUE(c.get(id, &v, &p).value());
    out[id] = {std::move(v), std::move(p)};
  }
  return out;
}

CollectionConfig config(SyncMode mode) {
  CollectionConfig c{kDim, DistanceMetric::Euclidean, mode};
  c.bulk_bytes = 2000;  // a batch of about 40 rows takes the bulk path
  c.bulk_chunk_bytes = 500;
  return c;
}

class ReaderFollows : public ::testing::TestWithParam<std::tuple<uint64_t, SyncMode>> {};

TEST_P(ReaderFollows, EveryKindOfChangeAsAPrefixAndAllOfThemAfterASync) {
  const auto [seed, mode] = GetParam();
  MemFs fs;
  std::unique_ptr<Collection> w = Collection::open_or_create("/c", config(mode), &fs).value();
  std::unique_ptr<Collection> r = Collection::open_read_only("/c", &fs).value();
  std::mt19937_64 rng(seed);
  std::vector<Content> states{{}};  // after each change, in order
  Content now;
  size_t seen = 0;  // the reader's last snapshot
  const auto refresh = [&](bool synced) {
    auto applied = r->refresh();
    ASSERT_TRUE(applied.ok()) << applied.error().to_string();
    const Content got = content_of(*r);
    if (synced) {
      ASSERT_EQ(got.size(), now.size());
      ASSERT_TRUE(got == now);
      seen = states.size() - 1;
      return;
    }
    size_t k = seen;
    while (k < states.size() && states[k] != got) ++k;
    ASSERT_LT(k, states.size()) << "no prefix at or after the last snapshot (" << got.size() << " ids)";
    seen = k;
  };
  const auto row = [&] {
    std::vector<float> v(kDim);
    for (float& x : v) x = static_cast<float>(rng() % 1000) / 8.0f;
    return v;
  };
  const auto payload = [&](uint64_t id) {
    Payload p;
    if (id % 3 == 0) p.data["t"] = static_cast<uint64_t>(rng() % 5);
    return p;
  };
  for (int step = 0; step < 250; ++step) {
    const uint64_t op = rng() % 20;
    if (op < 6) {
      const uint64_t id = 1 + rng() % 60;
      auto v = row();
      Payload p = payload(id);
      ASSERT_TRUE(w->insert(id, v, p).ok());
      now[id] = {v, p}, states.push_back(now);
    } else if (op < 10) {
      // Small batches through the log, larger ones (about 40 rows) through
      // the bulk path; ids may repeat within a batch.
      const size_t n = 1 + rng() % (op < 8 ? 12 : 60);
      std::vector<uint64_t> ids;
      std::vector<float> rows;
      std::vector<Payload> payloads;
      for (size_t i = 0; i < n; ++i) {
        ids.push_back(1 + rng() % 80);
        auto v = row();
        rows.insert(rows.end(), v.begin(), v.end());
        payloads.push_back(payload(ids.back()));
        now[ids.back()] = {v, payloads.back()}, states.push_back(now);
      }
      ASSERT_TRUE(w->insert_batch(ids, rows, payloads).ok());
    } else if (op < 13) {
      std::vector<uint64_t> ids;
      for (uint64_t i = rng() % 4; i < 5; ++i) ids.push_back(1 + rng() % 80);
      for (uint64_t id : ids) {
        if (now.erase(id)) states.push_back(now);
      }
      if (op == 12) ASSERT_TRUE(w->remove_batch(ids).ok());
      for (uint64_t id : ids) {
        if (op < 12) ASSERT_TRUE(w->remove(id).ok());
      }
    } else if (op < 15) {
      ASSERT_TRUE(w->flush().ok());
    } else if (op == 15) {
      ASSERT_TRUE(w->compact().ok());
    } else if (op == 16) {
      w.reset();  // a writer that stops and starts again: its open replays the log
      w = Collection::open_or_create("/c", config(mode), &fs).value();
    } else {
      ASSERT_TRUE(w->sync().ok());
      refresh(true);
    }
    if (rng() % 3 == 0) refresh(false);
    if (HasFatalFailure()) return;
  }
  ASSERT_TRUE(w->flush().ok());
  refresh(true);
  EXPECT_TRUE(content_of(*Collection::open_read_only("/c", &fs).value()) == now);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReaderFollows,
                         ::testing::Combine(::testing::Values(1, 2, 3, 4),
                                            ::testing::Values(SyncMode::Manual, SyncMode::Batch)));

// A refresh replaces every id in one step: a search sees all of them old or
// all of them new.
TEST(Reader, SearchesSeeOneSnapshotWhole) {
  MemFs fs;
  auto w = Collection::open_or_create("/c", config(SyncMode::Batch), &fs).value();
  const size_t n = 64;
  const auto write = [&](uint64_t version) {
    std::vector<uint64_t> ids;
    std::vector<float> rows;
    std::vector<Payload> payloads(n);
    for (uint64_t id = 1; id <= n; ++id) {
      ids.push_back(id);
      rows.insert(rows.end(), {float(id), 0, 0, 0});
      payloads[id - 1].data["v"] = version;
    }
    ASSERT_TRUE(w->insert_batch(ids, rows, payloads).ok());
  };
  write(0);
  auto r = Collection::open_read_only("/c", &fs).value();
  std::atomic<bool> done{false};
  std::atomic<uint64_t> mixed{0}, searches{0};
  std::thread searcher([&] {
    while (!done) {
      const auto hits = r->search(std::vector<float>(kDim, 0.0f), n, nullptr, true);
      for (const auto& h : hits) mixed += h.payload->data.at("v") != hits[0].payload->data.at("v") || hits.size() != n;
      ++searches;
    }
  });
  for (uint64_t version = 1; version <= 40; ++version) {
    write(version);
    if (version % 7 == 0) ASSERT_TRUE(w->flush().ok());
    ASSERT_TRUE(r->refresh().ok());
  }
  while (searches < 100) std::this_thread::yield();
  done = true;
  searcher.join();
  EXPECT_EQ(mixed, 0u);
}

// A frame cut short (a write still under way) is where a refresh stops; once
// whole it is read, and each change is counted once.
TEST(Reader, StopsAtATornFrameAndCountsEachChangeOnce) {
  MemFs fs;
  auto w = Collection::open_or_create("/c", config(SyncMode::Batch), &fs).value();
  auto r = Collection::open_read_only("/c", &fs).value();
  const std::vector<float> v{1, 2, 3, 4};
  ASSERT_TRUE(w->insert(1, v).ok());
  ASSERT_TRUE(w->remove(1).ok());
  ASSERT_TRUE(w->insert(2, v).ok());
  ASSERT_TRUE(w->sync().ok());
  EXPECT_EQ(r->refresh().value(), 3u);
  ASSERT_TRUE(w->insert(3, v).ok());
  ASSERT_TRUE(w->sync().ok());
  const std::string log = fs.contents("/c/wal.log");
  for (size_t cut : {size_t{1}, size_t{9}, size_t{30}}) {
    fs.put("/c/wal.log", log.substr(0, log.size() - cut));
    EXPECT_EQ(r->refresh().value(), 0u) << cut;
  }
  fs.put("/c/wal.log", log);
  EXPECT_EQ(r->refresh().value(), 1u);
  EXPECT_TRUE(r->contains(3));
  ASSERT_TRUE(w->flush().ok());
  EXPECT_EQ(r->refresh().value(), 0u);  // the data file restates what the log said
  EXPECT_EQ(r->len(), 2u);
}

// A repair beside a reader (damage in the log's last frame) leaves the reader
// working; after the writer's next flush it holds what the writer holds.
TEST(Reader, FollowsARepairOfItsDirectory) {
  MemFs fs;
  {
    auto w = Collection::open_or_create("/c", config(SyncMode::Batch), &fs).value();
    for (uint64_t id = 1; id <= 40; ++id) {
      ASSERT_TRUE(w->insert(id, std::vector<float>{float(id), 0, 0, 0}).ok());
      if (id == 30) ASSERT_TRUE(w->flush().ok());
    }
    ASSERT_TRUE(w->sync().ok());
  }
  auto r = Collection::open_read_only("/c", &fs).value();
  EXPECT_EQ(r->len(), 40u);
  std::string log = fs.contents("/c/wal.log");
  log[log.size() - 3] ^= 1;
  fs.put("/c/wal.log", log);
  ASSERT_TRUE(Collection::repair("/c", std::nullopt, std::nullopt, &fs).ok());
  auto w = Collection::open_or_create("/c", config(SyncMode::Batch), &fs).value();
  ASSERT_TRUE(w->insert(41, std::vector<float>{41, 0, 0, 0}).ok());
  ASSERT_TRUE(w->flush().ok());
  ASSERT_TRUE(r->refresh().ok());
  EXPECT_EQ(r->len(), 40u);
  EXPECT_TRUE(content_of(*r) == content_of(*w));
}

TEST(Reader, RefusesChangesAndWhatIsNoCollection) {
  MemFs fs;
  EXPECT_EQ(Collection::open_read_only("/none", &fs).error().to_string(),
            "collection error: no collection here: meta.json is missing");
  EXPECT_FALSE(fs.exists("/none"));
  {
    auto w = Collection::open_or_create("/c", config(SyncMode::Batch), &fs).value();
    for (uint64_t id = 1; id <= 20; ++id) ASSERT_TRUE(w->insert(id, std::vector<float>{float(id), 1, 2, 3}).ok());
    ASSERT_TRUE(w->flush().ok());
    EXPECT_EQ(w->refresh().value(), 0u);
  }
  auto r = Collection::open_read_only("/c", &fs).value();
  const size_t before = fs.fingerprint();
  const std::vector<float> v{1, 2, 3, 4};
  const std::vector<uint64_t> ids{1, 2};
  std::vector<Status> refused = {
      r->insert(1, v),
      r->insert_batch(std::span<const uint64_t>(ids).first(1), v),
      r->sync(),
      r->flush(),
      r->apply_insert_no_wal(1, v, {}),
      r->create_index("t"),
      r->save_meta(),
  };
  for (const Status& s : refused) EXPECT_EQ(s.ok() ? "" : s.error().to_string(), "io error: collection is read-only");
  EXPECT_FALSE(r->remove(1).ok());
  EXPECT_FALSE(r->remove_batch(ids).ok());
  EXPECT_FALSE(r->compact().ok());
  EXPECT_FALSE(r->drop_index("t").ok());
  EXPECT_EQ(fs.fingerprint(), before);
  EXPECT_EQ(r->len(), 20u);

  // Damage where the checksums vouch: refused, as the writer's open refuses it.
  std::string data = fs.contents("/c/data.ovx");
  data[40] ^= 1;
  fs.put("/c/data.ovx", data);
  auto damaged = Collection::open_read_only("/c", &fs);
  ASSERT_FALSE(damaged.ok());
  EXPECT_NE(damaged.error().to_string().find("data.ovx damaged at offset"), std::string::npos);
}

}  // namespace
}  // namespace orvex
