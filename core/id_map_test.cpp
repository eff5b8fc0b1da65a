#include "id_map.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace orvex {
namespace {

// Every key of the oracle is found with its value, and the sizes agree.
void expect_same(const IdMap& map, const std::unordered_map<uint64_t, uint64_t>& oracle) {
  ASSERT_EQ(map.size(), oracle.size());
  for (const auto& [k, v] : oracle) {
    const uint64_t* got = map.find(k);
    ASSERT_NE(got, nullptr) << "key " << k;
    ASSERT_EQ(*got, v) << "key " << k;
  }
}

struct RandomCase {
  uint64_t seed;     // the map's hash seed
  uint64_t key_range;  // keys drawn from [0, key_range) (plus a few extremes)
  int operations;
};

class IdMapRandom : public ::testing::TestWithParam<RandomCase> {};

// Random insertions, assignments, erasures and lookups against
// std::unordered_map. Small key ranges keep the table dense with long probe
// runs, so backward-shift deletion meets wrapped runs often.
TEST_P(IdMapRandom, MatchesUnorderedMap) {
  const RandomCase c = GetParam();
  IdMap map(c.seed);
  std::unordered_map<uint64_t, uint64_t> oracle;
  std::mt19937_64 rng(c.seed * 31 + c.key_range);
  const uint64_t extremes[] = {0, 1, ~uint64_t{0}, uint64_t{1} << 63};
  auto draw_key = [&] {
    if (rng() % 50 == 0) return extremes[rng() % 4];
    return rng() % c.key_range;
  };
  for (int step = 0; step < c.operations; ++step) {
    const uint64_t key = draw_key();
    const uint64_t value = rng();
    switch (rng() % 5) {
      case 0:
      case 1: {
        auto [v, inserted] = map.try_emplace(key, value);
        auto [it, oracle_inserted] = oracle.try_emplace(key, value);
        ASSERT_EQ(inserted, oracle_inserted);
        ASSERT_EQ(*v, it->second);
        break;
      }
      case 2: {
        ASSERT_EQ(map.insert_or_assign(key, value), !oracle.contains(key));
        oracle[key] = value;
        break;
      }
      case 3:
        ASSERT_EQ(map.erase(key), oracle.erase(key) == 1);
        break;
      case 4: {
        const uint64_t* got = map.find(key);
        auto it = oracle.find(key);
        ASSERT_EQ(got != nullptr, it != oracle.end());
        if (got) ASSERT_EQ(*got, it->second);
        break;
      }
    }
    ASSERT_EQ(map.size(), oracle.size());
    if (step % 997 == 0) expect_same(map, oracle);
  }
  expect_same(map, oracle);
  // Emptying it key by key leaves nothing behind.
  std::vector<uint64_t> keys;
  for (const auto& [k, v] : oracle) keys.push_back(k);
  for (uint64_t k : keys) ASSERT_TRUE(map.erase(k));
  EXPECT_EQ(map.size(), 0u);
  for (uint64_t k : keys) EXPECT_EQ(map.find(k), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, IdMapRandom,
                         ::testing::Values(RandomCase{1, 8, 2000}, RandomCase{2, 64, 20000},
                                           RandomCase{3, 1000, 50000}, RandomCase{4, 100000, 50000},
                                           RandomCase{0, 300, 30000}, RandomCase{~uint64_t{0}, 5000, 50000}));

TEST(IdMap, ReserveKeepsEntriesAndAvoidsGrowth) {
  IdMap map(7);
  for (uint64_t k = 0; k < 100; ++k) map.insert_or_assign(k, k * 3);
  map.reserve(10000);
  const size_t cap = map.capacity();
  EXPECT_GE(cap - cap / 8, 10000u);
  for (uint64_t k = 0; k < 100; ++k) ASSERT_EQ(*map.find(k), k * 3);
  for (uint64_t k = 100; k < 10000; ++k) map.try_emplace(k, k * 3);
  EXPECT_EQ(map.capacity(), cap);
  EXPECT_EQ(map.size(), 10000u);
  map.reserve(5);  // never shrinks
  EXPECT_EQ(map.capacity(), cap);
}

TEST(IdMap, EmptyMapAnswersWithoutATable) {
  IdMap map;
  EXPECT_EQ(map.find(0), nullptr);
  EXPECT_EQ(map.find(42), nullptr);
  EXPECT_FALSE(map.erase(42));
  EXPECT_FALSE(map.erase(0));
  EXPECT_EQ(map.capacity(), 0u);
}

TEST(IdMap, ImpossibleReservationThrowsAndKeepsTheMap) {
  IdMap map(9);
  map.insert_or_assign(5, 6);
  EXPECT_THROW(map.reserve(SIZE_MAX / 4), std::bad_alloc);
  EXPECT_EQ(*map.find(5), 6u);
  EXPECT_EQ(map.size(), 1u);
}

TEST(IdMap, MoveTransfersEntriesAndClearEmpties) {
  IdMap a(11);
  for (uint64_t k = 0; k < 50; ++k) a.insert_or_assign(k, k + 1);
  IdMap b(std::move(a));
  EXPECT_EQ(b.size(), 50u);
  EXPECT_EQ(*b.find(0), 1u);
  EXPECT_EQ(*b.find(49), 50u);
  a = std::move(b);
  EXPECT_EQ(a.size(), 50u);
  a.clear();
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.find(0), nullptr);
  EXPECT_EQ(a.find(10), nullptr);
  a.insert_or_assign(10, 1);
  EXPECT_EQ(*a.find(10), 1u);
}

}  // namespace
}  // namespace orvex
