// The index's own rules. Distances, top-k selection and batched search on
// every kernel path: distance_test.cpp; filtered search: filter_test.cpp.
#include "brute_force.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>
#include <set>

namespace orvex {
namespace {

using M = DistanceMetric;
using Vec = std::vector<float>;

// All entries as (id, distance bits): equal sets mean equal indexes.
std::set<std::pair<uint64_t, uint32_t>> everything(const BruteForceIndex& index, const Vec& q) {
  std::set<std::pair<uint64_t, uint32_t>> out;
  for (const SearchResult& r : index.search(q, index.len() + 1)) out.insert({r.id, std::bit_cast<uint32_t>(r.distance)});
  return out;
}

// Batches that start in a partly filled group, are no multiple of 16, and
// fail midway (in the tail or inside a whole group of 16) on an id already
// held or repeated within the batch; entries are removed between batches.
TEST(BruteForceIndex, InsertBatchEqualsAnInsertLoop) {
  std::mt19937 rng(11);
  std::normal_distribution<float> normal;
  for (M m : {M::Euclidean, M::Cosine, M::DotProduct, M::Hamming}) {
    for (size_t dim : {0, 3, 17}) {
      SCOPED_TRACE(std::string(metric_name(m)) + " dim " + std::to_string(dim));
      BruteForceIndex loop(m, dim), batched(m, dim);
      std::vector<std::vector<uint64_t>> batches = {{1, 2, 3, 4, 5}, {}, {200, 201, 3, 202}, {}, {}};
      for (uint64_t i = 0; i < 77; ++i) batches[1].push_back(100 + 3 * i);
      for (uint64_t i = 0; i < 40; ++i) batches[3].push_back(i == 20 ? 100 : 400 + i);
      for (uint64_t i = 0; i < 40; ++i) batches[4].push_back(500 + (i == 25 ? 5 : i));
      for (const auto& ids : batches) {
        Vec rows(ids.size() * dim);
        for (float& x : rows) x = normal(rng);
        Status want;
        for (size_t i = 0; i < ids.size() && want.ok(); ++i) want = loop.insert(ids[i], {rows.data() + i * dim, dim});
        const Status got = batched.insert_batch(ids, rows, ids.size());
        ASSERT_EQ(got.ok(), want.ok());
        if (!got.ok()) EXPECT_EQ(got.error().to_string(), want.error().to_string());
        for (uint64_t id : {uint64_t{1}, uint64_t{100 + 3 * 76}}) EXPECT_EQ(batched.remove(id), loop.remove(id));
        ASSERT_EQ(batched.len(), loop.len());
        for (const auto& all : batches)
          for (uint64_t id : all) EXPECT_EQ(batched.contains(id), loop.contains(id)) << id;
        const Vec q(rows.begin(), rows.begin() + dim);
        EXPECT_EQ(everything(batched, q), everything(loop, q));
      }
    }
  }
}

TEST(BruteForceIndex, RefusalsLeaveTheIndexUnchanged) {
  BruteForceIndex index(M::Euclidean, 2);
  const Payload p{{{"tag", "first"}}};
  ASSERT_TRUE(index.insert(7, Vec{1, 1}, p).ok());
  ASSERT_TRUE(index.insert(8, Vec{3, 3}).ok());
  const std::vector<uint64_t> ids = {20, 21, 22};
  const std::pair<Status, const char*> refused[] = {
      {index.insert(7, Vec{5, 5}), "duplicate vector id: 7"},
      {index.insert(7, Vec{5, 5, 5}), "dimension mismatch: expected 2, got 3"},  // length before id
      {index.insert_batch(ids, Vec(5), 3), "dimension mismatch: expected 6, got 5"},
      {index.insert_batch(std::span(ids).first(2), Vec(6), 3), "dimension mismatch: expected 3, got 2"}};
  for (const auto& [status, text] : refused) EXPECT_EQ(status.ok() ? "ok" : status.error().to_string(), text);
  index.reserve(std::numeric_limits<size_t>::max());  // a hint it cannot honour: ignored
  const auto r = index.search(Vec{1, 1}, 5);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].distance, 0.0f);
  EXPECT_EQ(*r[0].payload, p);
  EXPECT_TRUE(r[1].payload->empty());
  EXPECT_FALSE(index.search(Vec{1, 1}, 1, nullptr, false)[0].payload.has_value());
  for (const auto& empty : {index.search(Vec{1, 1}, 0), index.search(Vec{1}, 5), index.search(Vec{1, 1, 1}, 5)})
    EXPECT_TRUE(empty.empty());
  const auto bad = index.search_batch(Vec{1, 1, 1}, 2, 5);  // not 2 whole rows
  EXPECT_TRUE(bad.size() == 2 && bad[0].empty() && bad[1].empty());
  EXPECT_TRUE(index.remove(7) && !index.remove(7) && !index.contains(7));
  EXPECT_TRUE(index.insert(7, Vec{0, 0}).ok());
}

}  // namespace
}  // namespace orvex
