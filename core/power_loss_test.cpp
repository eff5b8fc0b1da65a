// Simulated power loss: the standard workload runs once against the real
// file system while a FaultFs records every operation with its bytes. After
// each operation that can change the disk, PowerLossModel builds the states
// a power loss at that instant could leave (everything pending, only what was
// synced, and random mixes with torn writes); each is written into a fresh
// directory, opened, and checked against the promise as of that instant.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>

#include "storage/fault_fs.h"
#include "storage/test_temp_dir.h"
#include "testing/crash_child.h"
#include "testing/power_loss.h"
#include "testing/promise.h"
#include "testing/workload.h"

namespace orvex {
namespace {

struct Figures {
  uint64_t crash_points = 0, states = 0, torn_writes = 0, failures = 0;
};

class PowerLossTest : public ::testing::TestWithParam<uint64_t> {};

TEST_P(PowerLossTest, EveryStateOpensWithAPrefixHoldingEverySyncedInsertion) {
  const uint64_t seed = GetParam();
  const bool long_run = testing::long_tests();
  const auto steps = testing::make_workload(seed, 8, testing::kStandardPlan);

  orvex::testing::TempDir run_dir;
  fs::FaultFs ffs;
  testing::WorkloadRunner runner(ffs, run_dir.file("coll"), testing::test_config());
  const testing::Journal journal = runner.run(steps);
  ASSERT_EQ(journal.outcome.back(), testing::Outcome::Acked);
  const std::vector<fs::OpRecord> log = ffs.log();

  // Random mixes per crash point; a CI run samples about a third of the
  // crash points for them, a long run takes all with more mixes.
  const int mixes = long_run ? 12 : 2;
  const uint64_t stride = long_run ? 1 : 3;
  std::mt19937_64 rng(seed * 7919);
  testing::PowerLossModel model(run_dir.path());
  Figures f;
  std::set<testing::DiskState> seen;
  for (const fs::OpRecord& rec : log) {
    model.apply(rec);
    if (!testing::PowerLossModel::changes_disk(rec)) continue;
    ++f.crash_points;
    std::vector<testing::DiskState> states = model.torn_tails();
    states.push_back(model.everything());
    states.push_back(model.synced_only());
    if (f.crash_points % stride == 0) {
      for (int m = 0; m < mixes; ++m) states.push_back(model.sample(rng));
    }
    const testing::Journal as_of = journal.as_of(rec.seq + 1);
    for (const testing::DiskState& state : states) {
      if (!seen.insert(state).second) continue;
      ++f.states;
      orvex::testing::TempDir dir;
      state.materialize(dir.path());
      const std::string problems =
          testing::open_and_check(dir.file("coll"), testing::test_config(), steps, as_of);
      if (!problems.empty()) {
        ++f.failures;
        if (f.failures <= 5) {
          ADD_FAILURE() << "power loss after operation " << rec.seq << " (" << fs::op_name(rec.op) << " "
                        << rec.path << "): " << problems;
        }
      }
    }
  }
  f.torn_writes = model.torn_writes();
  std::printf("[figures] power loss, seed %llu: %llu crash points, %llu distinct states opened, %llu torn writes, "
              "%llu promise failures\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(f.crash_points),
              static_cast<unsigned long long>(f.states), static_cast<unsigned long long>(f.torn_writes),
              static_cast<unsigned long long>(f.failures));
  EXPECT_EQ(f.failures, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, PowerLossTest, ::testing::Values(1, 2));

}  // namespace
}  // namespace orvex
