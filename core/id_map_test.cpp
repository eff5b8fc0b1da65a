#include "id_map.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace orvex {
namespace {

// Random lookups, insertions, assignments and erasures against
// std::unordered_map. Small key ranges make long probe runs that wrap; keys
// with only high bits set, 0 and the largest; moved midway, cleared at the end.
TEST(IdMap, MatchesUnorderedMap) {
  for (uint64_t range : {8, 300, 100000}) {
    for (uint64_t seed : {uint64_t{0}, uint64_t{1}, ~uint64_t{0}}) {
      IdMap map(seed);
      std::unordered_map<uint64_t, uint64_t> want;
      std::mt19937_64 rng(seed + range);
      for (int step = 0; step < 30000; ++step) {
        const uint64_t r = rng() % range, value = rng();
        const uint64_t key = step % 3 == 0 ? r << 40 : step % 50 == 1 ? ~uint64_t{0} - r % 2 : r;
        const uint64_t* found = map.find(key);
        ASSERT_TRUE(found ? want.contains(key) && want[key] == *found : !want.contains(key)) << key;
        if (rng() % 2 == 0) {
          ASSERT_EQ(map.erase(key), want.erase(key) == 1);
        } else if (rng() % 2 == 0) {
          const auto [v, inserted] = map.try_emplace(key, value);
          ASSERT_EQ(inserted, want.try_emplace(key, value).second);
          ASSERT_EQ(*v, want[key]);
        } else {
          ASSERT_EQ(map.insert_or_assign(key, value), !want.contains(key));
          want[key] = value;
        }
        ASSERT_EQ(map.size(), want.size());
        if (step == 15000) map = IdMap(std::move(map));
      }
      for (const auto& [k, v] : want) ASSERT_EQ(*map.find(k), v);
      map.clear();
      EXPECT_EQ(map.size(), 0u);
      for (const auto& [k, v] : want) ASSERT_EQ(map.find(k), nullptr);
    }
  }
}

}  // namespace
}  // namespace orvex
