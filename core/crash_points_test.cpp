// Named crash points: a forked child runs the standard workload and ends
// itself with _exit at one chosen point of the file traffic (the FaultFs
// hook); the parent then opens the directory with the real file system and
// checks the promise, and that the collection goes on working there.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "storage/fault_fs.h"
#include "storage/test_temp_dir.h"
#include "testing/crash_child.h"
#include "testing/promise.h"
#include "testing/workload.h"

namespace orvex {
namespace {

using fs::HookPoint;
using fs::Op;
using fs::OpRecord;
using testing::Journal;
using testing::WorkStep;

constexpr int kCrashed = 42;

bool on(const OpRecord& rec, const char* name) {
  const std::string tail = std::string("/") + name;
  return rec.path.size() >= tail.size() && rec.path.compare(rec.path.size() - tail.size(), tail.size(), tail) == 0;
}

struct CrashPoint {
  const char* name;
  HookPoint when;
  std::function<bool(const OpRecord&)> matches;
  // For cut writes: the file whose writes are cut short (the n-th matching
  // write puts half its bytes, then the process ends).
  const char* cut_file = nullptr;
};

std::vector<CrashPoint> crash_points() {
  return {
      {"mid_log_frame", HookPoint::After, [](const OpRecord& r) { return r.op == Op::Write && on(r, "wal.log"); }, "wal.log"},
      {"mid_data_record", HookPoint::After, [](const OpRecord& r) { return r.op == Op::Write && on(r, "data.ovx"); }, "data.ovx"},
      {"after_log_write", HookPoint::After, [](const OpRecord& r) { return r.op == Op::Write && on(r, "wal.log"); }},
      {"after_log_sync", HookPoint::After, [](const OpRecord& r) { return r.op == Op::Sync && on(r, "wal.log"); }},
      {"after_data_sync", HookPoint::After, [](const OpRecord& r) { return r.op == Op::Sync && on(r, "data.ovx"); }},
      {"after_delete_marker", HookPoint::After,
       [](const OpRecord& r) { return r.op == Op::Write && on(r, "data.ovx") && r.arg == 1; }},
      {"after_checkpoint_sync_before_truncation", HookPoint::Before,
       [](const OpRecord& r) {
         return r.op == Op::Open && on(r, "wal.log") && r.arg == static_cast<uint64_t>(fs::OpenMode::WriteCreateTruncate);
       }},
      {"after_data_write", HookPoint::After, [](const OpRecord& r) { return r.op == Op::Write && on(r, "data.ovx"); }},
      {"during_data_scan", HookPoint::Before, [](const OpRecord& r) { return r.op == Op::Read && on(r, "data.ovx"); }},
      {"during_log_read", HookPoint::Before, [](const OpRecord& r) { return r.op == Op::Read && on(r, "wal.log"); }},
      {"meta_temp_written_before_sync", HookPoint::After, [](const OpRecord& r) { return r.op == Op::Write && on(r, "meta.json.tmp"); }},
      {"meta_temp_synced_before_rename", HookPoint::Before, [](const OpRecord& r) { return r.op == Op::Rename; }},
      {"after_rename_before_dir_sync", HookPoint::After, [](const OpRecord& r) { return r.op == Op::Rename; }},
      {"after_directory_created", HookPoint::After, [](const OpRecord& r) { return r.op == Op::CreateDirs; }},
      {"after_file_created", HookPoint::After,
       [](const OpRecord& r) { return r.op == Op::Open && r.arg == static_cast<uint64_t>(fs::OpenMode::ReadAppendCreate); }},
  };
}

struct Figures {
  int cases = 0, crashed = 0, wal_torn = 0, data_torn = 0, failures = 0;
};
Figures& figures() {
  static Figures f;
  return f;
}

class FiguresPrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    const Figures& f = figures();
    std::printf("[figures] crash points: %d cases, %d crashed at their point, torn tails met: %d log, %d data; "
                "%d promise failures\n",
                f.cases, f.crashed, f.wal_torn, f.data_torn, f.failures);
  }
};
const auto* const kPrinter = ::testing::AddGlobalTestEnvironment(new FiguresPrinter);

// How often a point occurs in an uninterrupted run of the workload.
int occurrences(const CrashPoint& point, const std::vector<WorkStep>& steps) {
  orvex::testing::TempDir dir;
  fs::FaultFs ffs;
  int n = 0;
  testing::WorkloadRunner runner(ffs, dir.file("coll"), testing::test_config());
  runner.set_user_hook([&](HookPoint when, const OpRecord& rec) {
    if (when == point.when && point.matches(rec) && rec.error == 0) ++n;
    return 0;
  });
  runner.run(steps);
  return n;
}

// The occurrences to crash at: all of them in long runs, else at most
// `budget` spread evenly (always the first and the last).
std::vector<int> chosen(int total, int budget) {
  std::vector<int> out;
  if (total <= budget || testing::long_tests()) {
    for (int i = 1; i <= total; ++i) out.push_back(i);
    return out;
  }
  for (int k = 0; k < budget; ++k) {
    int n = 1 + static_cast<int>((static_cast<int64_t>(total - 1) * k) / (budget - 1));
    if (out.empty() || out.back() != n) out.push_back(n);
  }
  return out;
}

// Opens the recovered collection, adds one vector, reopens: it must be there.
std::string goes_on(const std::string& path, size_t before) {
  const uint64_t id = 4'000'000'000ULL;
  const std::vector<float> v(8, 0.125f);
  {
    auto c = Collection::open_or_create(path, testing::test_config());
    if (!c.ok()) return "reopen failed: " + c.error().to_string();
    if (auto s = (*c)->insert(id, v); !s.ok()) return "insert after recovery failed: " + s.error().to_string();
  }
  auto c = Collection::open_or_create(path, testing::test_config());
  if (!c.ok()) return "second reopen failed: " + c.error().to_string();
  auto hit = (*c)->search(v, 1, std::nullopt, false);
  if (hit.empty() || hit[0].id != id || hit[0].distance != 0.0f) return "the vector inserted after recovery is lost";
  if ((*c)->len() != before + 1) {
    return "after recovery and one insertion len() is " + std::to_string((*c)->len()) + ", expected " +
           std::to_string(before + 1);
  }
  return "";
}

class CrashPointTest : public ::testing::TestWithParam<size_t> {};

TEST_P(CrashPointTest, CollectionOpensWithAPrefixHoldingEverySyncedInsertion) {
  const CrashPoint point = crash_points()[GetParam()];
  const std::vector<uint64_t> seeds = testing::long_tests() ? std::vector<uint64_t>{1, 2, 3, 4} : std::vector<uint64_t>{1};
  for (uint64_t seed : seeds) {
    const auto steps = testing::make_workload(seed, 8, testing::kStandardPlan);
    const int total = occurrences(point, steps);
    ASSERT_GT(total, 0) << point.name << " never happens in the workload";
    for (int n : chosen(total, 8)) {
      SCOPED_TRACE(std::string(point.name) + " #" + std::to_string(n) + " of " + std::to_string(total) +
                   ", seed " + std::to_string(seed));
      orvex::testing::TempDir dir;
      const std::string path = dir.file("coll");
      testing::ChildEnd end = testing::run_in_child([&](int report_fd) {
        fs::FaultFs ffs;
        if (point.cut_file) {
          // The n-th write of the file puts only a few bytes into it (a
          // different count each time); the hook then ends the process, so
          // the file ends inside a frame or record.
          fs::Fault cut;
          cut.op = Op::Write;
          cut.nth = static_cast<uint64_t>(n);
          cut.path_contains = point.cut_file;
          cut.short_write = 1 + (static_cast<size_t>(n) * 97) % 400;
          ffs.add_fault(cut);
        }
        int seen = 0;
        testing::WorkloadRunner runner(ffs, path, testing::test_config());
        runner.set_journal_fd(report_fd);
        runner.set_user_hook([&](HookPoint when, const OpRecord& rec) -> int {
          if (when != point.when || !point.matches(rec)) return 0;
          if (when == HookPoint::After && rec.error != 0) return 0;
          if (++seen == n) _exit(kCrashed);
          return 0;
        });
        runner.run(steps);
        return 0;
      });
      ++figures().cases;
      ASSERT_TRUE(end.exited) << end.describe();
      ASSERT_EQ(end.code, kCrashed) << "the process did not stop at the point: " << end.describe();
      ++figures().crashed;
      const Journal journal = testing::parse_journal(end.output, steps.size());
      const testing::Tails tails = testing::inspect_tails(path);
      figures().wal_torn += tails.wal_torn;
      figures().data_torn += tails.data_torn;

      size_t len = 0;
      {
        auto coll = Collection::open_or_create(path, testing::test_config());
        ASSERT_TRUE(coll.ok()) << coll.error().to_string();
        const std::string problems = testing::check_content(**coll, steps, journal);
        if (!problems.empty()) ++figures().failures;
        EXPECT_EQ(problems, "");
        len = (*coll)->len();
      }
      EXPECT_EQ(goes_on(path, len), "");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Points, CrashPointTest, ::testing::Range<size_t>(0, crash_points().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return std::string(crash_points()[info.param].name);
                         });

}  // namespace
}  // namespace orvex
