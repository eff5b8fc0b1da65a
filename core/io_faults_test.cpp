// Injected I/O errors: for every n, the n-th write, sync, truncate, rename or
// open of a workload fails with EIO or ENOSPC, once or from then on. Checks:
// the call that met the error reports it; no flush reports success after the
// data file failed to sync in the same collection object; after the run the
// directory opens with the real file system and holds a prefix of the
// insertions that covers every synced one (and, when the error happened
// once, every acknowledged one).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <tuple>

#include "storage/fault_fs.h"
#include "storage/test_temp_dir.h"
#include "testing/crash_child.h"
#include "testing/promise.h"
#include "testing/workload.h"

namespace orvex {
namespace {

using fs::Op;
using testing::Outcome;
using testing::WorkStep;

constexpr const char* kPlan = "o i120 f i40 c o i20 f i10 c";

using Case = std::tuple<Op, int, bool>;  // operation, error number, persistent

class IoFaultTest : public ::testing::TestWithParam<Case> {};

TEST_P(IoFaultTest, FailingCallReportsAndNothingAcknowledgedIsLost) {
  const auto [op, error, persistent] = GetParam();
  const auto steps = testing::make_workload(11, 8, kPlan);

  uint64_t total = 0;
  {
    orvex::testing::TempDir dry;
    fs::FaultFs ffs;
    testing::WorkloadRunner runner(ffs, dry.file("coll"), testing::test_config());
    runner.run(steps);
    total = ffs.count(op);
  }
  ASSERT_GT(total, 0u);
  const uint64_t stride = testing::long_tests() || total <= 40 ? 1 : total / 40;

  int cases = 0, failed_calls = 0;
  for (uint64_t n = 1; n <= total; n += stride) {
    SCOPED_TRACE("fault at " + std::string(fs::op_name(op)) + " #" + std::to_string(n) + " of " +
                 std::to_string(total));
    orvex::testing::TempDir dir;
    const std::string path = dir.file("coll");
    fs::FaultFs ffs;
    fs::Fault fault;
    fault.op = op;
    fault.nth = n;
    fault.error = error;
    fault.persistent = persistent;
    ffs.add_fault(fault);
    testing::WorkloadRunner runner(ffs, path, testing::test_config());
    testing::Journal journal = runner.run(steps);
    ++cases;

    for (const std::string& v : journal.violations) ADD_FAILURE() << v;
    // A call that met a failed file operation reports an error, with two
    // exceptions where nothing of the call is at risk, and the failure must
    // then come out at the next flush unless it was a one-off:
    //  - opening may pass over a failure to force the records recovery
    //    appended (they are still in the log);
    //  - an insertion whose log sync succeeded may pass over a failed write
    //    of the data file's buffer (the records stay in the buffer; the log
    //    holds them).
    auto next_flush = [&](size_t k) {
      size_t f = k + 1;
      while (f < steps.size() && steps[f].kind == WorkStep::Kind::Insert) ++f;
      return f < steps.size() && steps[f].kind == WorkStep::Kind::Flush ? f : steps.size();
    };
    for (size_t k = 0; k < steps.size(); ++k) {
      if (journal.outcome[k] == Outcome::Failed) ++failed_calls;
      const auto& errors = journal.fs_errors[k];
      if (steps[k].kind == WorkStep::Kind::Close || errors.empty() || journal.outcome[k] != Outcome::Acked) continue;
      const bool deferred_data_write =
          steps[k].kind == WorkStep::Kind::Insert &&
          std::all_of(errors.begin(), errors.end(), [](const std::string& e) { return e == "write data.ovx"; });
      if (steps[k].kind == WorkStep::Kind::Open || deferred_data_write) {
        const size_t f = next_flush(k);
        if (persistent && f < steps.size()) {
          EXPECT_EQ(journal.outcome[f], Outcome::Failed)
              << "step " << k << " passed over an I/O error (" << errors[0] << ") and the flush at step " << f
              << " succeeded";
        }
        continue;
      }
      ADD_FAILURE() << "step " << k << " met an I/O error (" << errors[0] << ") and reported success";
    }

    // Once-only errors lose nothing acknowledged: every buffer reaches the
    // file at the latest when the collection is closed.
    if (!persistent) {
      for (size_t k = 0; k < steps.size(); ++k) {
        if (steps[k].kind == WorkStep::Kind::Insert && journal.outcome[k] == Outcome::Acked) {
          journal.synced = std::max(journal.synced, k + 1);
        }
      }
    }
    EXPECT_EQ(testing::open_and_check(path, testing::test_config(), steps, journal), "");
  }
  std::printf("[figures] io faults: %s %s %s: %d cases, %d calls reported the error\n", fs::op_name(op),
              error == EIO ? "EIO" : "ENOSPC", persistent ? "persistent" : "once", cases, failed_calls);
}

INSTANTIATE_TEST_SUITE_P(Faults, IoFaultTest,
                         ::testing::Combine(::testing::Values(Op::Write, Op::Sync, Op::Rename, Op::Open),
                                            ::testing::Values(EIO, ENOSPC), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(fs::op_name(std::get<0>(info.param))) + "_" +
                                  (std::get<1>(info.param) == EIO ? "EIO" : "ENOSPC") + "_" +
                                  (std::get<2>(info.param) ? "persistent" : "once");
                         });

// Cutting a torn log tail back at open: when the truncation fails, opening
// reports it, and the next opening (real file system) still finds every
// insertion of the log.
class TruncateFaultTest : public ::testing::TestWithParam<int> {};

TEST_P(TruncateFaultTest, OpeningReportsAFailedCutAndLosesNothing) {
  const auto steps = testing::make_workload(12, 8, "o i30 c");
  orvex::testing::TempDir dir;
  const std::string path = dir.file("coll");
  fs::FaultFs plain;
  testing::Journal journal = testing::WorkloadRunner(plain, path, testing::test_config()).run(steps);
  ASSERT_EQ(journal.outcome.back(), Outcome::Acked);
  // The unfinished end of an interrupted write: 5 bytes of a next frame.
  orvex::testing::spit(path + "/wal.log", orvex::testing::slurp(path + "/wal.log") + std::string(5, '\x7f'));

  fs::FaultFs ffs;
  fs::Fault fault;
  fault.op = Op::Truncate;
  fault.error = GetParam();
  ffs.add_fault(fault);
  auto coll = Collection::open_or_create(path, testing::test_config(), &ffs);
  ASSERT_FALSE(coll.ok()) << "opening passed over the failed cut";
  EXPECT_EQ(coll.error().kind(), Error::Kind::Io) << coll.error().to_string();
  EXPECT_EQ(ffs.count(Op::Truncate), 1u);

  journal.synced = steps.size();  // nothing may be lost here
  EXPECT_EQ(testing::open_and_check(path, testing::test_config(), steps, journal), "");
}

INSTANTIATE_TEST_SUITE_P(Errors, TruncateFaultTest, ::testing::Values(EIO, ENOSPC));

}  // namespace
}  // namespace orvex
