#include "brute_force.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../filter.h"

namespace orvex {
namespace {

using M = DistanceMetric;
constexpr M kMetrics[] = {M::Euclidean, M::Cosine, M::DotProduct, M::Hamming};

std::vector<KernelPath> available_paths() {
  std::vector<KernelPath> out;
  for (KernelPath p : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512})
    if (kernel_path_available(p)) out.push_back(p);
  return out;
}

std::string path_name(KernelPath p) {
  switch (p) {
    case KernelPath::Portable: return "Portable";
    case KernelPath::Avx2: return "Avx2";
    case KernelPath::Avx512: return "Avx512";
    default: return "Auto";
  }
}

// Restores the automatic kernel choice when a test ends.
struct PathGuard {
  explicit PathGuard(KernelPath p) { ok = set_kernel_path(p); }
  ~PathGuard() { set_kernel_path(KernelPath::Auto); }
  bool ok;
};

bool same_bits(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// Random components: mostly ordinary, some exactly 0.5 (Hamming's edge), some
// huge (products overflow), some negative.
std::vector<float> random_vector(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> normal(0.0f, 2.0f);
  std::uniform_int_distribution<int> pick(0, 39);
  std::vector<float> v(dim);
  for (float& x : v) {
    const int p = pick(rng);
    x = p == 0 ? 0.5f : p == 1 ? 3e18f * normal(rng) : p == 2 ? -0.0f : normal(rng);
  }
  return v;
}

// Ranks a before b in the defined order: numbers ascending, NaN last.
bool ranks_before(float a, float b) {
  if (std::isnan(b)) return !std::isnan(a);
  return a < b;
}

// Checks `got` against the oracle: the distances of a stable full sort of all
// candidates, cut at k. Ties may come out in any order, so each returned hit
// must carry its own exact distance, the sequence of distances must equal the
// oracle's, and no id may repeat.
void expect_top_k(const std::vector<SearchResult>& got, const std::map<uint64_t, float>& all,
                  uint64_t k) {
  std::vector<float> want;
  for (const auto& [id, dist] : all) want.push_back(dist);
  std::stable_sort(want.begin(), want.end(), ranks_before);
  if (want.size() > k) want.resize(k);
  ASSERT_EQ(got.size(), want.size());
  std::set<uint64_t> seen;
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_TRUE(seen.insert(got[i].id).second) << "repeated id " << got[i].id;
    ASSERT_TRUE(all.count(got[i].id));
    EXPECT_TRUE(same_bits(got[i].distance, all.at(got[i].id))) << "id " << got[i].id;
    const float w = want[i];
    EXPECT_TRUE(got[i].distance == w || (std::isnan(w) && std::isnan(got[i].distance)))
        << "rank " << i << ": " << got[i].distance << " vs " << w;
  }
}

// Batch and single search agree: the same distance at every rank, and the
// same (id, distance bits) for every hit that ranks strictly before the last
// one (ties at the cut may be chosen differently).
void expect_same_results(const std::vector<SearchResult>& a, const std::vector<SearchResult>& b) {
  ASSERT_EQ(a.size(), b.size());
  std::set<std::pair<uint64_t, uint32_t>> in_b;
  for (const SearchResult& r : b) in_b.insert({r.id, std::bit_cast<uint32_t>(r.distance)});
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(a[i].distance == b[i].distance || (std::isnan(a[i].distance) && std::isnan(b[i].distance)));
    if (ranks_before(a[i].distance, a.back().distance))
      EXPECT_TRUE(in_b.count({a[i].id, std::bit_cast<uint32_t>(a[i].distance)})) << "id " << a[i].id;
  }
}

// ---- every kernel path gives the defined bits -----------------------------

class PathExactness : public ::testing::TestWithParam<std::tuple<KernelPath, M, size_t>> {};

TEST_P(PathExactness, EveryDistanceMatchesTheScalarReference) {
  const auto [path, metric, dim] = GetParam();
  PathGuard guard(path);
  ASSERT_TRUE(guard.ok);
  std::mt19937 rng(static_cast<uint32_t>(dim * 131 + static_cast<size_t>(metric) * 7 + 1));
  const size_t n = 53;  // three whole groups and a partial one
  BruteForceIndex index(metric, dim);
  std::vector<std::vector<float>> stored;
  for (size_t i = 0; i < n; ++i) {
    stored.push_back(random_vector(rng, dim));
    if (i == 5) std::fill(stored.back().begin(), stored.back().end(), 0.0f);  // zero vector
    ASSERT_TRUE(index.insert(1000 + i, stored.back()).ok());
  }
  std::vector<float> queries;
  const size_t nq = 7;
  for (size_t j = 0; j < nq; ++j) {
    std::vector<float> q = random_vector(rng, dim);
    if (j == 0) std::fill(q.begin(), q.end(), 0.0f);
    if (j == 1) q = stored[9];
    queries.insert(queries.end(), q.begin(), q.end());
    std::map<uint64_t, float> all;
    for (size_t i = 0; i < n; ++i) all[1000 + i] = distance(metric, q, stored[i]);
    const auto got = index.search(q, n, nullptr, false);
    expect_top_k(got, all, n);
    expect_top_k(index.search(q, 5, nullptr, false), all, 5);
  }
  for (uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{n}}) {
    const auto batch = index.search_batch(queries, nq, k);
    ASSERT_EQ(batch.size(), nq);
    for (size_t j = 0; j < nq; ++j) {
      std::span<const float> q(queries.data() + j * dim, dim);
      expect_same_results(batch[j], index.search(q, k, nullptr, false));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllPaths, PathExactness,
    ::testing::Combine(::testing::ValuesIn(available_paths()), ::testing::ValuesIn(kMetrics),
                       ::testing::Values(0, 1, 15, 16, 17, 31, 32, 33, 100, 128, 768)),
    [](const auto& info) {
      return path_name(std::get<0>(info.param)) + "_" +
             std::string(metric_name(std::get<1>(info.param))) + "_" +
             std::to_string(std::get<2>(info.param));
    });

// ---- selection against a full sort -----------------------------------------

class TopKOracle : public ::testing::TestWithParam<std::tuple<KernelPath, M, size_t>> {};

TEST_P(TopKOracle, EqualsFullSortWithTiesNaNAndRemovals) {
  const auto [path, metric, n] = GetParam();
  PathGuard guard(path);
  ASSERT_TRUE(guard.ok);
  const size_t dim = 5;
  std::mt19937 rng(static_cast<uint32_t>(n * 3 + static_cast<size_t>(metric)));
  std::uniform_int_distribution<int> small(-2, 2);  // many exact ties
  std::uniform_int_distribution<int> pick(0, 29);
  BruteForceIndex index(metric, dim);
  std::map<uint64_t, std::vector<float>> stored;
  for (size_t i = 0; i < n; ++i) {
    std::vector<float> v(dim);
    for (float& x : v) x = static_cast<float>(small(rng));
    if (pick(rng) == 0) v[1] = std::numeric_limits<float>::quiet_NaN();
    if (pick(rng) == 0) v[2] = std::numeric_limits<float>::infinity();
    const uint64_t id = rng();
    if (stored.count(id)) continue;
    ASSERT_TRUE(index.insert(id, v).ok());
    stored[id] = v;
  }
  // Remove about a third, from anywhere.
  for (auto it = stored.begin(); it != stored.end();) {
    if (pick(rng) < 10) {
      ASSERT_TRUE(index.remove(it->first));
      it = stored.erase(it);
    } else {
      ++it;
    }
  }
  ASSERT_EQ(index.len(), stored.size());
  for (int rep = 0; rep < 4; ++rep) {
    std::vector<float> q(dim);
    for (float& x : q) x = static_cast<float>(small(rng));
    std::map<uint64_t, float> all;
    for (const auto& [id, v] : stored) all[id] = distance(metric, q, v);
    for (uint64_t k : {uint64_t{1}, uint64_t{3}, uint64_t{16}, uint64_t{stored.size()},
                       uint64_t{stored.size() + 5}}) {
      expect_top_k(index.search(q, k), all, k);
      const auto batch = index.search_batch(q, 1, k);
      ASSERT_EQ(batch.size(), 1u);
      expect_top_k(batch[0], all, k);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, TopKOracle,
    ::testing::Combine(::testing::ValuesIn(available_paths()), ::testing::ValuesIn(kMetrics),
                       ::testing::Values(1, 16, 37, 200)),
    [](const auto& info) {
      return path_name(std::get<0>(info.param)) + "_" +
             std::string(metric_name(std::get<1>(info.param))) + "_" +
             std::to_string(std::get<2>(info.param));
    });

// ---- the index's own behaviour ---------------------------------------------

TEST(BruteForceIndex, EmptyIndexZeroKAndWrongQueryLength) {
  BruteForceIndex index(M::Euclidean, 3);
  EXPECT_TRUE(index.search(std::vector<float>{1, 2, 3}, 5).empty());
  ASSERT_TRUE(index.insert(1, std::vector<float>{1, 2, 3}).ok());
  ASSERT_TRUE(index.insert(2, std::vector<float>{1, 2, 4}).ok());
  EXPECT_TRUE(index.search(std::vector<float>{1, 2, 3}, 0).empty());
  EXPECT_TRUE(index.search(std::vector<float>{1, 2}, 5).empty());
  EXPECT_TRUE(index.search(std::vector<float>{1, 2, 3, 4}, 5).empty());
  const auto all = index.search(std::vector<float>{1, 2, 3}, std::numeric_limits<uint64_t>::max());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].id, 1u);
  EXPECT_EQ(all[0].distance, 0.0f);
  EXPECT_EQ(all[1].id, 2u);
  EXPECT_EQ(all[1].distance, 1.0f);
  // A batch whose buffer does not hold nq whole rows gives empty results.
  const auto bad = index.search_batch(std::vector<float>{1, 2, 3, 4}, 2, 5);
  ASSERT_EQ(bad.size(), 2u);
  EXPECT_TRUE(bad[0].empty() && bad[1].empty());
}

TEST(BruteForceIndex, InsertChecksLengthThenDuplicate) {
  BruteForceIndex index(M::Euclidean, 2);
  Payload first;
  first.data["tag"] = "first";
  ASSERT_TRUE(index.insert(7, std::vector<float>{1, 1}, first).ok());
  Payload second;
  second.data["tag"] = "second";
  Status dup = index.insert(7, std::vector<float>{5, 5}, second);
  ASSERT_FALSE(dup.ok());
  EXPECT_EQ(dup.error().kind(), Error::Kind::DuplicateId);
  EXPECT_EQ(dup.error().first(), 7u);
  Status len = index.insert(7, std::vector<float>{5, 5, 5});
  ASSERT_FALSE(len.ok());
  EXPECT_EQ(len.error().kind(), Error::Kind::DimensionMismatch);
  EXPECT_EQ(len.error().first(), 2u);
  EXPECT_EQ(len.error().second(), 3u);
  EXPECT_EQ(index.len(), 1u);
  const auto r = index.search(std::vector<float>{1, 1}, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].distance, 0.0f);
  ASSERT_TRUE(r[0].payload.has_value());
  EXPECT_EQ(*r[0].payload, first);
  EXPECT_FALSE(index.search(std::vector<float>{1, 1}, 1, nullptr, false)[0].payload.has_value());
}

TEST(BruteForceIndex, RemoveMovesTheLastEntryAndAllowsReinsert) {
  BruteForceIndex index(M::DotProduct, 3);
  for (uint64_t id = 0; id < 40; ++id) {
    Payload p;
    if (id % 3 == 0) p.data["id"] = id;
    ASSERT_TRUE(index.insert(id, std::vector<float>{float(id), 1, -float(id)}, p).ok());
  }
  EXPECT_TRUE(index.remove(4));
  EXPECT_FALSE(index.remove(4));
  EXPECT_FALSE(index.contains(4));
  EXPECT_TRUE(index.contains(39));
  EXPECT_EQ(index.len(), 39u);
  // Entry 39 (moved into 4's place) keeps its vector and payload.
  const auto r = index.search(std::vector<float>{1, 0, 0}, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].id, 39u);
  EXPECT_EQ(r[0].distance, -39.0f);
  EXPECT_EQ(r[0].payload->data.at("id"), 39u);
  ASSERT_TRUE(index.insert(4, std::vector<float>{100, 0, 0}).ok());
  EXPECT_EQ(index.search(std::vector<float>{1, 0, 0}, 1)[0].id, 4u);
  for (uint64_t id = 0; id < 40; ++id) EXPECT_TRUE(index.remove(id));
  EXPECT_EQ(index.len(), 0u);
  EXPECT_TRUE(index.search(std::vector<float>{1, 0, 0}, 3).empty());
  ASSERT_TRUE(index.insert(12, std::vector<float>{1, 2, 3}).ok());
  EXPECT_EQ(index.search(std::vector<float>{1, 0, 0}, 3).size(), 1u);
}

TEST(BruteForceIndex, DimensionZero) {
  for (M m : kMetrics) {
    BruteForceIndex index(m, 0);
    ASSERT_TRUE(index.insert(1, {}).ok());
    ASSERT_TRUE(index.insert(2, {}).ok());
    EXPECT_FALSE(index.insert(3, std::vector<float>{1}).ok());
    const auto r = index.search({}, 10);
    ASSERT_EQ(r.size(), 2u);
    const float want = m == M::Cosine ? 1.0f : m == M::DotProduct ? -0.0f : 0.0f;
    for (const auto& hit : r) EXPECT_TRUE(same_bits(hit.distance, want)) << metric_name(m);
    const auto b = index.search_batch({}, 3, 1);
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[2].size(), 1u);
  }
}

TEST(BruteForceIndex, ManyEntriesGrowAndMove) {
  BruteForceIndex index(M::Euclidean, 4);
  index.reserve(100);
  for (uint64_t id = 0; id < 5000; ++id)
    ASSERT_TRUE(index.insert(id * 7919, std::vector<float>{float(id), 0, 0, 0}).ok());
  BruteForceIndex moved = std::move(index);
  EXPECT_EQ(moved.len(), 5000u);
  const auto r = moved.search(std::vector<float>{2500.2f, 0, 0, 0}, 2);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].id, 2500u * 7919);
  EXPECT_EQ(r[1].id, 2501u * 7919);
  moved.reserve(std::numeric_limits<size_t>::max());  // a hint it cannot honour: ignored
  EXPECT_EQ(moved.len(), 5000u);
  EXPECT_EQ(moved.dimension(), 4u);
  EXPECT_EQ(moved.metric(), M::Euclidean);
}

TEST(BruteForceIndex, FilterSkipsEntriesBeforeDistanceWork) {
  for (KernelPath path : available_paths()) {
    PathGuard guard(path);
    BruteForceIndex index(M::Euclidean, 2);
    for (uint64_t id = 0; id < 50; ++id) {
      Payload p;
      if (id % 5 == 0) p.data["keep"] = true;
      ASSERT_TRUE(index.insert(id, std::vector<float>{float(id), 0}, p).ok());
    }
    const Filter keep = Filter::exists("keep");
    const auto r = index.search(std::vector<float>{12, 0}, 3, &keep);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].id, 10u);
    EXPECT_EQ(r[1].id, 15u);
    ASSERT_TRUE(r[0].payload.has_value());
    EXPECT_TRUE(r[0].payload->data.at("keep").get<bool>());
    EXPECT_EQ(index.search(std::vector<float>{12, 0}, 100, &keep).size(), 10u);
    const Filter none = Filter::exists("absent");
    EXPECT_TRUE(index.search(std::vector<float>{12, 0}, 3, &none).empty());
    const auto b = index.search_batch(std::vector<float>{12, 0, 0, 0}, 2, 3, &keep);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].size(), 3u);
    EXPECT_EQ(b[1][0].id, 0u);
    EXPECT_FALSE(b[1][0].payload.has_value());
  }
}

// Filtered searches against an oracle (filter every live entry, sort all)
// while entries come and go: the index's per-key columns must follow every
// insertion and removal, and more keys are asked about than it keeps columns
// for.
struct LiveEntry {
  std::vector<float> v;
  Payload payload;
};

void expect_filtered_like_oracle(const BruteForceIndex& index, const std::map<uint64_t, LiveEntry>& live,
                                 const std::vector<float>& q, const Filter& f, uint64_t k) {
  std::vector<float> want;
  for (const auto& [id, e] : live) {
    if (f.matches(e.payload)) want.push_back(distance(M::Euclidean, q, e.v));
  }
  std::sort(want.begin(), want.end());
  const auto got = index.search(q, k, &f, true);
  ASSERT_EQ(got.size(), std::min<size_t>(k, want.size()));
  for (size_t i = 0; i < got.size(); ++i) {
    const LiveEntry& e = live.at(got[i].id);
    EXPECT_TRUE(f.matches(e.payload));
    EXPECT_TRUE(same_bits(got[i].distance, want[i]));
    EXPECT_EQ(*got[i].payload, e.payload);
  }
}

std::vector<Filter> key_filters() {
  std::vector<Filter> out;
  for (int key = 0; key < 12; ++key) out.push_back(Filter::eq("key" + std::to_string(key), true));
  out.push_back(Filter(FilterCondition::lt("n", 3u) || FilterCondition::exists("key5")));
  out.push_back(Filter::ne("n", 4u));
  return out;
}

Payload keyed_payload(uint64_t i) {
  Payload p;
  if (i % 9 == 4) return p;  // no payload at all
  p.data["n"] = i % 10;
  p.data["key" + std::to_string(i % 12)] = true;
  if (i % 7 == 0) p.data["key" + std::to_string((i / 7) % 12)] = i % 2 == 0;
  return p;
}

TEST(BruteForceIndex, FilteredSearchFollowsInsertionsAndRemovals) {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  BruteForceIndex index(M::Euclidean, 5);
  std::map<uint64_t, LiveEntry> live;
  auto add = [&](uint64_t id) {
    LiveEntry e{std::vector<float>(5), keyed_payload(id)};
    for (float& x : e.v) x = normal(rng);
    ASSERT_TRUE(index.insert(id, e.v, e.payload).ok());
    live[id] = std::move(e);
  };
  const auto filters = key_filters();
  auto check_all = [&] {
    std::vector<float> q(5);
    for (float& x : q) x = normal(rng);
    for (const Filter& f : filters) {
      for (uint64_t k : {1u, 7u, 1000u}) expect_filtered_like_oracle(index, live, q, f, k);
    }
  };
  // Starts without payloads, then gets them: the columns appear later.
  for (uint64_t id = 0; id < 3; ++id) {
    LiveEntry e{std::vector<float>(5, float(id)), Payload{}};
    ASSERT_TRUE(index.insert(1000 + id, e.v).ok());
    live[1000 + id] = std::move(e);
  }
  check_all();
  for (uint64_t id = 0; id < 300; ++id) add(id);
  check_all();
  for (int round = 0; round < 4; ++round) {
    // Remove the last slot, the first, and scattered ones; add new entries.
    std::vector<uint64_t> ids;
    for (const auto& [id, e] : live) ids.push_back(id);
    for (size_t j = 0; j < ids.size(); j += 5 + round) {
      ASSERT_TRUE(index.remove(ids[j]));
      live.erase(ids[j]);
    }
    for (uint64_t id = 0; id < 40; ++id) add(10000 * (round + 1) + id);
    check_all();
  }
  while (!live.empty()) {  // down to nothing, then a fresh start
    ASSERT_TRUE(index.remove(live.begin()->first));
    live.erase(live.begin());
  }
  check_all();
  for (uint64_t id = 0; id < 20; ++id) add(id);
  check_all();
}

TEST(BruteForceIndex, ConcurrentFilteredSearchesAgree) {
  std::mt19937 rng(9);
  std::normal_distribution<float> normal;
  // Two indexes with the same entries: the expected results come from one
  // searched alone, the other builds its columns under concurrent searches.
  BruteForceIndex alone(M::Euclidean, 4);
  BruteForceIndex shared(M::Euclidean, 4);
  for (uint64_t id = 0; id < 2000; ++id) {
    std::vector<float> v(4);
    for (float& x : v) x = normal(rng);
    ASSERT_TRUE(alone.insert(id, v, keyed_payload(id)).ok());
    ASSERT_TRUE(shared.insert(id, v, keyed_payload(id)).ok());
  }
  const auto filters = key_filters();
  const std::vector<float> q = {0.1f, -0.2f, 0.3f, 0.0f};
  std::vector<std::vector<SearchResult>> want;
  for (const Filter& f : filters) want.push_back(alone.search(q, 5, &f, false));
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int rep = 0; rep < 30; ++rep) {
        const size_t fi = static_cast<size_t>(t * 5 + rep) % filters.size();
        const auto got = shared.search(q, 5, &filters[fi], false);
        bool same = got.size() == want[fi].size();
        for (size_t i = 0; same && i < got.size(); ++i)
          same = got[i].id == want[fi][i].id && same_bits(got[i].distance, want[fi][i].distance);
        if (!same) ++mismatches[t];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int m : mismatches) EXPECT_EQ(m, 0);
}

// ---- batch insertion equals single insertions -----------------------------

// Every hit as (id, distance bits), in id order: equal sets mean equal
// results whatever order ties came out in.
std::vector<std::pair<uint64_t, uint32_t>> hit_bits(const std::vector<SearchResult>& r) {
  std::vector<std::pair<uint64_t, uint32_t>> out;
  for (const SearchResult& h : r) out.push_back({h.id, std::bit_cast<uint32_t>(h.distance)});
  std::sort(out.begin(), out.end());
  return out;
}

// Both indexes answer every query alike on every kernel path, single and
// batched, with every entry asked for and with a small k.
void expect_same_index(const BruteForceIndex& a, const BruteForceIndex& b, std::mt19937& rng) {
  ASSERT_EQ(a.len(), b.len());
  const size_t dim = a.dimension();
  std::vector<float> queries;
  for (int q = 0; q < 3; ++q) {
    const auto v = random_vector(rng, dim);
    queries.insert(queries.end(), v.begin(), v.end());
  }
  for (KernelPath p : available_paths()) {
    PathGuard guard(p);
    ASSERT_TRUE(guard.ok);
    for (uint64_t k : {uint64_t{7}, uint64_t{a.len() + 1}}) {
      const auto ba = a.search_batch(queries, 3, k);
      const auto bb = b.search_batch(queries, 3, k);
      for (size_t q = 0; q < 3; ++q) {
        std::span<const float> query(queries.data() + q * dim, dim);
        const auto sa = a.search(query, k);
        const auto sb = b.search(query, k);
        if (k > a.len()) {
          EXPECT_EQ(hit_bits(sa), hit_bits(sb)) << path_name(p);
          EXPECT_EQ(hit_bits(ba[q]), hit_bits(bb[q])) << path_name(p);
        } else {
          expect_same_results(sa, sb);
          expect_same_results(ba[q], bb[q]);
        }
      }
    }
  }
}

class BatchInsert : public ::testing::TestWithParam<std::tuple<M, size_t>> {};

// A partly filled last group before the batch, a batch that is not a
// multiple of 16, then removals and another batch into the holes' tail.
TEST_P(BatchInsert, EqualsSingleInsertsOnEveryPath) {
  const auto [metric, dim] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(dim * 31 + static_cast<int>(metric)));
  BruteForceIndex singly(metric, dim), batched(metric, dim);
  for (uint64_t id = 0; id < 5; ++id) {
    const auto v = random_vector(rng, dim);
    ASSERT_TRUE(singly.insert(id, v).ok());
    ASSERT_TRUE(batched.insert(id, v).ok());
  }
  auto add_batch = [&](uint64_t first_id, size_t n) {
    std::vector<uint64_t> ids;
    std::vector<float> rows;
    for (size_t i = 0; i < n; ++i) {
      ids.push_back(first_id + i * 3);
      const auto v = random_vector(rng, dim);
      rows.insert(rows.end(), v.begin(), v.end());
      ASSERT_TRUE(singly.insert(ids.back(), v).ok());
    }
    ASSERT_TRUE(batched.insert_batch(ids, rows, n).ok());
  };
  add_batch(100, 77);
  expect_same_index(singly, batched, rng);
  for (uint64_t id : {uint64_t{0}, uint64_t{103}, uint64_t{100 + 76 * 3}}) {
    ASSERT_TRUE(singly.remove(id));
    ASSERT_TRUE(batched.remove(id));
  }
  add_batch(1000, 40);
  expect_same_index(singly, batched, rng);
}

INSTANTIATE_TEST_SUITE_P(
    MetricsAndDimensions, BatchInsert,
    ::testing::Combine(::testing::ValuesIn(kMetrics), ::testing::Values(size_t{0}, 1, 3, 4, 17, 128)),
    [](const auto& info) {
      return std::to_string(static_cast<int>(std::get<0>(info.param))) + "_d" +
             std::to_string(std::get<1>(info.param));
    });

// A batch of `n` rows of dimension 2 whose row i is (i, -i).
std::vector<float> counting_rows(size_t n) {
  std::vector<float> rows;
  for (size_t i = 0; i < n; ++i) rows.insert(rows.end(), {float(i), -float(i)});
  return rows;
}

struct BatchFailure {
  std::vector<uint64_t> held;  // inserted before the batch
  std::vector<uint64_t> batch;
  size_t inserted;             // pairs of the batch that stay
  uint64_t duplicate;
};

class BatchInsertFailure : public ::testing::TestWithParam<BatchFailure> {};

TEST_P(BatchInsertFailure, StopsAtTheFirstDuplicate) {
  const BatchFailure& c = GetParam();
  BruteForceIndex index(M::Euclidean, 2);
  for (uint64_t id : c.held) ASSERT_TRUE(index.insert(id, std::vector<float>{-1, -1}).ok());
  const auto rows = counting_rows(c.batch.size());
  Status s = index.insert_batch(c.batch, rows, c.batch.size());
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), Error::Kind::DuplicateId);
  EXPECT_EQ(s.error().first(), c.duplicate);
  EXPECT_EQ(index.len(), c.held.size() + c.inserted);
  for (size_t i = 0; i < c.inserted; ++i) {
    ASSERT_TRUE(index.contains(c.batch[i]));
    // Row i is where the batch put it, under its own id.
    const auto r = index.search(std::vector<float>{float(i), -float(i)}, 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].distance, 0.0f);
  }
  for (size_t i = c.inserted + 1; i < c.batch.size(); ++i) {
    const bool held_before = std::count(c.held.begin(), c.held.end(), c.batch[i]) > 0;
    const bool earlier = std::count(c.batch.begin(), c.batch.begin() + c.inserted, c.batch[i]) > 0;
    EXPECT_EQ(index.contains(c.batch[i]), held_before || earlier) << c.batch[i];
  }
}

std::vector<uint64_t> iota_ids(uint64_t from, size_t n) {
  std::vector<uint64_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = from + i;
  return out;
}

std::vector<uint64_t> with(std::vector<uint64_t> v, size_t at, uint64_t id) {
  v[at] = id;
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BatchInsertFailure,
    ::testing::Values(
        // Repeated inside one group of 16, and across groups.
        BatchFailure{{}, with(iota_ids(0, 40), 9, 3), 9, 3},
        BatchFailure{{}, with(iota_ids(0, 40), 35, 20), 35, 20},
        // Already held, in the first group, in a later one, in the tail.
        BatchFailure{{500}, with(iota_ids(0, 40), 0, 500), 0, 500},
        BatchFailure{{500, 501}, with(iota_ids(0, 40), 17, 501), 17, 501},
        BatchFailure{{500}, with(iota_ids(0, 40), 39, 500), 39, 500},
        // The batch starts in a partly filled group.
        BatchFailure{{500, 501, 502}, with(iota_ids(0, 50), 30, 502), 30, 502}));

TEST(BatchInsert, WrongCountsInsertNothing) {
  BruteForceIndex index(M::Euclidean, 2);
  const auto rows = counting_rows(20);
  const auto ids = iota_ids(0, 20);
  Status short_rows = index.insert_batch(ids, std::span<const float>(rows).first(39), 20);
  ASSERT_FALSE(short_rows.ok());
  EXPECT_EQ(short_rows.error().kind(), Error::Kind::DimensionMismatch);
  EXPECT_EQ(short_rows.error().first(), 40u);
  EXPECT_EQ(short_rows.error().second(), 39u);
  Status short_ids = index.insert_batch(std::span<const uint64_t>(ids).first(19), rows, 20);
  ASSERT_FALSE(short_ids.ok());
  EXPECT_EQ(short_ids.error().kind(), Error::Kind::DimensionMismatch);
  EXPECT_EQ(index.len(), 0u);
  EXPECT_TRUE(index.insert_batch({}, {}, 0).ok());
  EXPECT_EQ(index.len(), 0u);
}

// Entries with payloads and built filter columns before the batch: the batch
// entries have no payload and filtered searches see them as such.
TEST(BatchInsert, KeepsPayloadsAndFilterColumnsInStep) {
  std::mt19937 rng(11);
  BruteForceIndex singly(M::Euclidean, 5), batched(M::Euclidean, 5);
  for (uint64_t id = 0; id < 21; ++id) {
    const auto v = random_vector(rng, 5);
    ASSERT_TRUE(singly.insert(id, v, keyed_payload(id)).ok());
    ASSERT_TRUE(batched.insert(id, v, keyed_payload(id)).ok());
  }
  const auto filters = key_filters();
  const Filter none(!FilterCondition::exists("n"));
  const auto q = random_vector(rng, 5);
  for (const Filter& f : filters) batched.search(q, 3, &f);  // builds the columns
  std::vector<uint64_t> ids = iota_ids(100, 45);
  std::vector<float> rows;
  for (uint64_t id : ids) {
    const auto v = random_vector(rng, 5);
    rows.insert(rows.end(), v.begin(), v.end());
    ASSERT_TRUE(singly.insert(id, v).ok());
  }
  ASSERT_TRUE(batched.insert_batch(ids, rows, ids.size()).ok());
  for (const Filter& f : filters) {
    EXPECT_EQ(hit_bits(singly.search(q, 1000, &f)), hit_bits(batched.search(q, 1000, &f)));
  }
  const auto r = batched.search(q, 1000, &none, true);
  EXPECT_EQ(r.size(), 45u + 2u);  // the batch plus ids 4 and 13, without payload
  for (const SearchResult& h : r) EXPECT_TRUE(h.payload->empty());
}

}  // namespace
}  // namespace orvex
