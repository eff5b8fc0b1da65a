// Tail sweep: copies of real collection files, cut at every byte of their
// last frames and records, or followed by garbage (zero bytes, 0xFF bytes, a
// frame length of 0 or 0xFFFFFFFF, a flipped checksum, a good frame after a
// bad one). Each copy is opened in a forked child under a 1 GiB address-space
// limit: it must open with a prefix of the insertions (an interrupted write),
// or, for damage inside a whole log frame, fail with the log's defined error;
// never crash, never reserve memory for a length the file cannot hold.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "storage/test_temp_dir.h"
#include "testing/crash_child.h"
#include "testing/promise.h"
#include "testing/workload.h"

namespace orvex {
namespace {

using orvex::testing::slurp;
using orvex::testing::spit;
using testing::Outcome;
using testing::WorkStep;

constexpr uint64_t kMemoryLimit = 1ULL << 30;
constexpr const char* kPlan = "o i40 f i30 c";
constexpr size_t kFlushStep = 41;

// Real files: the data file as the flush left it, and both files at the end.
struct Sources {
  std::vector<WorkStep> steps;
  testing::Journal journal;
  std::string meta, flushed_data, data, wal;
};

const Sources& sources() {
  static const Sources s = [] {
    Sources out;
    out.steps = testing::make_workload(5, 8, kPlan);
    orvex::testing::TempDir dir;
    const std::string path = dir.file("coll");
    fs::FaultFs ffs;
    testing::WorkloadRunner runner(ffs, path, testing::test_config());
    runner.set_user_hook([&](fs::HookPoint when, const fs::OpRecord& rec) {
      // Keep the data file as it stands once the flush has forced it.
      if (when == fs::HookPoint::After && rec.op == fs::Op::Sync && rec.path == path + "/data.ovx") {
        out.flushed_data = slurp(rec.path);
      }
      return 0;
    });
    out.journal = runner.run(out.steps);
    out.meta = slurp(path + "/meta.json");
    out.data = slurp(path + "/data.ovx");
    out.wal = slurp(path + "/wal.log");
    return out;
  }();
  return s;
}

uint32_t u32_at(const std::string& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
std::string u32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// Start offsets of the log's frames / the data file's records.
std::vector<size_t> frame_starts(const std::string& wal) {
  std::vector<size_t> out;
  for (size_t at = 0; at + 8 <= wal.size(); at += 8 + u32_at(wal, at + 4)) out.push_back(at);
  return out;
}
std::vector<size_t> record_starts(const std::string& data) {
  std::vector<size_t> out;
  for (size_t at = 0; at + 17 <= data.size();) {
    out.push_back(at);
    const size_t dim = u32_at(data, at + 9);
    at += 17 + 4 * dim + u32_at(data, at + 13 + 4 * dim);
  }
  return out;
}

enum class Expect { Opens, OpensOrLogError, LogError };

struct Figures {
  int cases = 0, opened = 0, refused = 0;
};
Figures& figures() {
  static Figures f;
  return f;
}
class FiguresPrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    std::printf("[figures] tail sweep: %d damaged copies opened under a 1 GiB limit: %d opened with a prefix, "
                "%d refused with the log's error, 0 crashes allowed\n",
                figures().cases, figures().opened, figures().refused);
  }
};
const auto* const kPrinter = ::testing::AddGlobalTestEnvironment(new FiguresPrinter);

// Opens a collection made of `data` and `wal` in a child; checks the
// promise (flushed insertions present, a prefix), and that an insertion
// after recovery survives a reopen.
void open_copy(const std::string& what, const std::string& data, const std::string& wal, Expect expect) {
  SCOPED_TRACE(what);
  const Sources& src = sources();
  orvex::testing::TempDir dir;
  const std::string path = dir.file("coll");
  testing::ChildEnd end = testing::run_in_child(
      [&](int report) {
        ::mkdir(path.c_str(), 0777);
        spit(path + "/meta.json", src.meta);
        spit(path + "/data.ovx", data);
        spit(path + "/wal.log", wal);
        testing::Journal journal = src.journal;
        journal.synced = kFlushStep;
        std::string problems;
        {
          auto coll = Collection::open_or_create(path, testing::test_config());
          if (!coll.ok()) {
            const Error& e = coll.error();
            testing::write_all(report, (e.kind() == Error::Kind::WalCorrupted ? "LOGERROR " : "ERROR ") + e.to_string());
            return 0;
          }
          problems = testing::check_content(**coll, src.steps, journal);
          const std::vector<float> v(8, 0.125f);
          if (auto s = (*coll)->insert(4'000'000'000ULL, v); !s.ok()) problems += "insert failed: " + s.error().to_string();
        }
        auto again = Collection::open_or_create(path, testing::test_config());
        if (!again.ok()) {
          problems += "reopen after an insertion failed: " + again.error().to_string();
        } else {
          auto hit = (*again)->search(std::vector<float>(8, 0.125f), 1, std::nullopt, false);
          if (hit.empty() || hit[0].id != 4'000'000'000ULL) problems += "the insertion after recovery is lost";
        }
        testing::write_all(report, problems.empty() ? "OPENED" : "PROBLEM " + problems);
        return 0;
      },
      kMemoryLimit);
  ++figures().cases;
  ASSERT_TRUE(end.exited && end.code == 0) << end.describe();
  const std::string& out = end.output;
  if (out.rfind("OPENED", 0) == 0) {
    ++figures().opened;
    EXPECT_NE(expect, Expect::LogError) << "damage inside a whole frame was not reported";
  } else if (out.rfind("LOGERROR WAL corrupted: checksum mismatch: expected ", 0) == 0 ||
             out.rfind("LOGERROR WAL corrupted: deserialization failed: ", 0) == 0) {
    ++figures().refused;
    EXPECT_NE(expect, Expect::Opens) << "an interrupted write was refused: " << out;
  } else {
    ADD_FAILURE() << out;
  }
}

TEST(TailSweep, LogCutAtEveryByteOfItsLastFrames) {
  const Sources& src = sources();
  const auto frames = frame_starts(src.wal);
  ASSERT_GE(frames.size(), 3u);
  for (size_t cut = frames[frames.size() - 2]; cut < src.wal.size(); ++cut) {
    open_copy("log cut at " + std::to_string(cut) + " of " + std::to_string(src.wal.size()), src.flushed_data,
              src.wal.substr(0, cut), Expect::Opens);
  }
}

TEST(TailSweep, DataFileCutAtEveryByteOfItsLastRecords) {
  const Sources& src = sources();
  const auto records = record_starts(src.data);
  ASSERT_GE(records.size(), 3u);
  for (size_t cut = records[records.size() - 2]; cut < src.data.size(); ++cut) {
    open_copy("data file cut at " + std::to_string(cut) + " of " + std::to_string(src.data.size()),
              src.data.substr(0, cut), "", Expect::Opens);
  }
}

TEST(TailSweep, GarbageAfterTheLog) {
  const Sources& src = sources();
  const std::string& d = src.flushed_data;
  const std::string& w = src.wal;
  for (size_t n : {1, 3, 4, 7, 8, 9, 100, 5000}) {
    open_copy(std::to_string(n) + " zero bytes", d, w + std::string(n, '\0'), Expect::Opens);
    open_copy(std::to_string(n) + " 0xFF bytes", d, w + std::string(n, '\xff'), Expect::Opens);
  }
  open_copy("frame of length 0, checksum 0", d, w + u32(0) + u32(0), Expect::Opens);
  open_copy("frame of length 0, other checksum", d, w + u32(0x12345678) + u32(0), Expect::OpensOrLogError);
  open_copy("frame of length 0xFFFFFFFF", d, w + u32(0x12345678) + u32(0xFFFFFFFF) + "{\"kind\"", Expect::Opens);
  open_copy("frame of length 0xFFFFFFFF, no data", d, w + u32(0) + u32(0xFFFFFFFF), Expect::Opens);
}

TEST(TailSweep, DamageInsideWholeFramesIsReported) {
  const Sources& src = sources();
  const std::string& d = src.flushed_data;
  const auto frames = frame_starts(src.wal);
  const size_t last = frames.back();
  std::string flipped_sum = src.wal;
  flipped_sum[last] ^= 0x01;
  open_copy("last frame's checksum flipped", d, flipped_sum, Expect::LogError);
  std::string flipped_data = src.wal;
  flipped_data[last + 8 + 3] ^= 0x20;
  open_copy("a byte of the last frame's text flipped", d, flipped_data, Expect::LogError);
  std::string bad_then_good = src.wal;
  bad_then_good[frames[frames.size() - 2] + 8 + 5] ^= 0x04;
  open_copy("a good frame after a bad one", d, bad_then_good, Expect::LogError);
  std::string first_bad = src.wal;
  first_bad[8 + 2] ^= 0x40;
  open_copy("the first frame damaged", d, first_bad, Expect::LogError);
  // A frame holding well-formed JSON that is no entry, with its checksum.
  const std::string text = "{}";
  std::string stray = src.wal + u32(0x8b9ab36a) + u32(2) + text;  // not its checksum: mismatch
  open_copy("a whole frame with a wrong checksum after the last", d, stray, Expect::LogError);
}

TEST(TailSweep, GarbageAfterTheDataFile) {
  const Sources& src = sources();
  const std::string& d = src.data;
  for (size_t n : {1, 16, 17, 18, 100, 9000}) {
    open_copy(std::to_string(n) + " zero bytes after the data file", d + std::string(n, '\0'), "", Expect::Opens);
    open_copy(std::to_string(n) + " 0xFF bytes after the data file", d + std::string(n, '\xff'), "", Expect::Opens);
  }
  // A record header stating a huge vector, and one stating a huge payload.
  std::string huge_dim = std::string(1, '\0') + std::string(8, '\x07') + u32(0xFFFFFFFF) + std::string(64, 'a');
  open_copy("record with 4294967295 components", d + huge_dim, "", Expect::Opens);
  std::string huge_payload = std::string(1, '\0') + std::string(8, '\x07') + u32(0) + u32(0xFFFFFFFF) + "{\"data\":{}}";
  open_copy("record with a 4 GiB payload", d + huge_payload, "", Expect::Opens);
}

}  // namespace
}  // namespace orvex
