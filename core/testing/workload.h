// Crash-safety test helpers: a seeded workload of collection calls, a runner
// that performs it through a FaultFs and keeps a journal of what each call
// reported, and the journal itself.
//
// A workload is a list of steps: Open, Insert(id, vector), Flush, Close. Each
// insertion carries the payload {"seq": step index}, so that whatever a
// reopened collection holds can be traced back to the step that wrote it.
// Vectors are exact in float32 (multiples of 1/64) and distinct per step.
//
// The journal says, per step, whether the call was acknowledged, failed or
// was still running when the process stopped, and up to which step
// everything acknowledged is durable ("synced": a successful flush, or an
// insertion whose log append synced the log).
//
// Thread-safety: none; one runner per FaultFs at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../collection.h"
#include "../storage/fault_fs.h"

namespace orvex::testing {

struct WorkStep {
  enum class Kind : uint8_t { Open, Insert, Flush, Close };
  Kind kind = Kind::Insert;
  uint64_t id = 0;            // Insert only
  std::vector<float> vector;  // Insert only
};

// Builds a workload from a plan such as "o i150 f i120 c o i60 f i30 c":
// o = open, iN = N insertions, f = flush, c = close. About one insertion in
// ten re-inserts an id used earlier; the others use fresh ids.
std::vector<WorkStep> make_workload(uint64_t seed, size_t dimension, const std::string& plan);

// The plan most crash tests use: creation, a Batch sync (100 entries), two
// flushes, a close and reopen (recovery with a non-empty log) and an
// unflushed tail.
inline constexpr const char* kStandardPlan = "o i150 f i120 c o i60 f i30 c";

enum class Outcome : uint8_t { NotRun, InFlight, Acked, Failed };

struct Journal {
  std::vector<Outcome> outcome;  // one per step
  // Steps before this index that were acknowledged are durable.
  size_t synced = 0;
  // Per step, the FaultFs sequence numbers around the call: its operations
  // have start_seq <= seq < end_seq. Filled by the runner only.
  std::vector<uint64_t> start_seq, end_seq;
  // (end_seq of the step that made it durable, synced prefix after it).
  std::vector<std::pair<uint64_t, size_t>> sync_points;
  // Per step: the file operations inside the call that failed, as
  // "write data.ovx", "sync wal.log", ... (empty: none failed).
  std::vector<std::vector<std::string>> fs_errors;
  // Misbehaviour seen while running (e.g. a flush reported success after
  // the data file failed to sync in the same collection object).
  std::vector<std::string> violations;

  // The journal as a crash after the first `ops` file operations would
  // leave it (for simulated power loss).
  Journal as_of(uint64_t ops) const;
};

// Parses the lines a runner wrote to its journal descriptor ("S k", "A k",
// "F k", "Y n"); steps never started are NotRun.
Journal parse_journal(const std::string& text, size_t steps);

class WorkloadRunner {
 public:
  // `fs` wraps the real file system; `path` is the collection directory.
  WorkloadRunner(fs::FaultFs& fs, std::string path, CollectionConfig config);

  // Also write the journal as lines to `fd` (write(2), unbuffered, so the
  // lines survive an _exit in a hook).
  void set_journal_fd(int fd) { journal_fd_ = fd; }
  // Called from the FaultFs hook after the runner's own bookkeeping.
  void set_user_hook(fs::FsHook hook) { user_hook_ = std::move(hook); }

  // Runs the steps in order. An Open that fails ends the run (the rest stay
  // NotRun). The collection is closed at the end.
  Journal run(const std::vector<WorkStep>& steps);

 private:
  void note(char what, size_t value);

  fs::FaultFs& fs_;
  std::string path_;
  CollectionConfig config_;
  int journal_fd_ = -1;
  fs::FsHook user_hook_;
  // Filled by the hook while a step runs.
  uint64_t next_seq_ = 0;
  bool wal_synced_ = false;
  bool data_sync_failed_ = false;
  std::vector<std::string> fs_errors_;
};

// A small CollectionConfig for the tests: dimension 8, Euclidean, Batch.
CollectionConfig test_config();

}  // namespace orvex::testing
