// The slot lists of payload indexes against an ordered set: pushes at the
// end, insertions and erasures anywhere (blocks split and vanish), and the
// highest slot taken back, as removals that move the last entry do.
#include "payload_index.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace orvex {
namespace {

TEST(SlotList, KeepsExactlyTheSlotsOfAnOrderedSet) {
  std::mt19937 rng(7);
  SlotList list;
  std::set<uint32_t> want;
  const auto check = [&] {
    std::vector<uint32_t> got;
    list.for_each([&](uint32_t s) { got.push_back(s); });
    ASSERT_EQ(got, std::vector<uint32_t>(want.begin(), want.end()));
    ASSERT_EQ(list.empty(), want.empty());
  };
  for (uint32_t s = 0; s < 30000; s += 3) {  // built as an index build does
    list.push_back(s);
    want.insert(s);
  }
  check();
  for (int step = 0; step < 200000; ++step) {
    const uint32_t s = rng() % 40000;
    switch (rng() % 4) {
      case 0:  // absent slots only, as the index inserts
        if (!want.count(s)) {
          list.insert(s);
          want.insert(s);
        }
        break;
      case 1:
        list.erase(s);  // held or not
        want.erase(s);
        break;
      case 2:
        if (!want.empty() && rng() % 2) {
          list.pop_back_if(*want.rbegin());
          want.erase(std::prev(want.end()));
        } else {
          list.pop_back_if(s);  // only when it is the highest
          if (!want.empty() && *want.rbegin() == s) want.erase(s);
        }
        break;
      default: {
        const uint32_t above = want.empty() ? s : *want.rbegin() + 1 + s % 3;
        list.push_back(above);
        want.insert(above);
      }
    }
    if (step % 20000 == 0) check();
    if (step == 100000) {  // three quarters taken from the bottom, the rest from the top, then filled again
      for (size_t i = want.size() * 3 / 4; i > 0; --i) {
        list.erase(*want.begin());
        want.erase(want.begin());
      }
      check();
      while (!want.empty()) {
        list.pop_back_if(*want.rbegin());
        want.erase(std::prev(want.end()));
      }
      check();
    }
  }
  check();
  list.shrink_to_fit();
  check();
  EXPECT_GE(list.memory_bytes(), want.size() * sizeof(uint32_t));
}

}  // namespace
}  // namespace orvex
