// MemFs: the in-memory file system of the tests and fuzzers. It records every
// operation, injects faults and counts those that fired, and builds the disks
// a crash may leave from what stable storage holds: each file's bytes at its
// last sync, then its writes and truncations; each directory's entries at its
// last sync, then its creations, renames and removals. "/" and "." always
// exist. One mutex guards it all; callbacks run without it.
#pragma once

#include <cerrno>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "../storage/file.h"

namespace orvex::testing {

enum class Op : uint8_t { Open, Read, Write, Seek, Size, Sync, Truncate, CreateDirs, Rename, SyncDir, Remove };

struct OpRecord {
  Op op = Op::Open;
  std::string path, target, bytes;  // target: a rename's destination; bytes: what a write put
  uint64_t arg = 0;          // Open: the OpenMode; Seek: offset; Truncate: length; Read, Write: bytes asked
  int error = 0;             // the error number it failed with
};

struct Fault {
  Op op = Op::Write;
  uint64_t nth = 1;         // the n-th matching operation since add_fault, from 1
  int error = EIO;
  bool persistent = false;  // and every later matching operation
  std::optional<size_t> short_write;  // the n-th write puts this many bytes, the handle's next one fails
  std::string path_contains;
};

class MemFs final : public fs::FileSystem {
 public:
  void add_fault(Fault fault) { std::lock_guard l(mu_); rules_.emplace_back(std::move(fault), 0); }
  void clear_faults() { std::lock_guard l(mu_); rules_.clear(); }
  uint64_t faults_fired() const { std::lock_guard l(mu_); return fired_; }
  std::vector<OpRecord> log() const { std::lock_guard l(mu_); return log_; }
  void clear_log() { std::lock_guard l(mu_); log_.clear(); }
  // Operations of the kind so far, failed ones included.
  uint64_t count(Op op) const { std::lock_guard l(mu_); return counts_[static_cast<size_t>(op)]; }
  // Called after every operation that changed what a crash may leave.
  void on_change(std::function<void(const OpRecord&)> f) { std::lock_guard l(mu_); on_change_ = std::move(f); }

  std::string contents(const std::string& path) const;  // as processes see it; "" when missing
  void put(const std::string& path, std::string bytes);  // a file, with its directories, synced (an existing one keeps its inode)
  size_t fingerprint() const;                            // of the directories and files

  // A process crash: all stays, still waiting for its syncs. No faults, log or callback.
  std::unique_ptr<MemFs> after_process_crash() const;
  // The disks a power loss may leave now, every file synced, keeping of the
  // later changes: all; none; one file's and the directories'; all, with one
  // file's last write torn after 1 byte, half of it or all but 1 byte; and
  // `mixes` seeded mixes (a prefix of each's, the last write torn half the time).
  std::vector<std::unique_ptr<MemFs>> after_power_loss(int mixes = 0, uint64_t seed = 0) const;

  Result<std::unique_ptr<fs::File>> open(const std::string& path, fs::OpenMode mode) override;
  bool exists(const std::string& path) override;
  Status create_dirs(const std::string& path) override;
  Status rename(const std::string& from, const std::string& to) override;
  Status sync_dir(const std::string& path) override;
  Status remove(const std::string& path) override;

 private:
  class Handle;
  struct Change { bool truncate = false; uint64_t at = 0; std::string bytes; };  // at: offset, or length
  struct Node { std::string data, synced; std::vector<Change> later; uint64_t ino = 0; };  // later: since the last sync; ino: kept across crashes
  static constexpr size_t kDir = SIZE_MAX;                               // a directory's node; 0 is none
  using Names = std::map<std::string, size_t>;                           // path -> node
  struct Entry { std::string name, from; size_t node = 0; };  // from: a rename's source; node 0: a removal
  // An operation under way; a short write puts `cut` bytes, then the handle's next write fails with cut_error.
  struct Call { OpRecord rec; bool changed = false; std::optional<size_t> cut; int cut_error = 0; };
  // Counts, logs and, unless a fault fired, performs (returning an errno or 0) an operation; then the callback.
  template <class F> Status run(Call call, F&& perform);
  static void apply(Names& names, const Entry& e);
  void add_entry(Entry e);
  using Keep = std::function<size_t(const std::string& path, size_t n)>;  // of n later changes
  using Tear = std::function<size_t(const std::string& path, size_t len)>;  // of the last write
  std::unique_ptr<MemFs> lose(const Keep& keep, const Tear& tear) const;

  mutable std::mutex mu_;
  std::vector<Node> nodes_{1};
  Names now_{{"/", kDir}, {".", kDir}}, disk_ = now_;  // as processes see them; as synced
  std::map<std::string, std::vector<Entry>> later_;    // per directory, since its last sync
  std::vector<std::pair<Fault, uint64_t>> rules_;      // and the matching operations seen
  uint64_t fired_ = 0, counts_[11] = {};
  std::vector<OpRecord> log_;
  std::function<void(const OpRecord&)> on_change_;
};

}  // namespace orvex::testing
