// FaultFs: a FileSystem for tests that wraps another one (the real one by
// default) and
//   - fails the n-th operation of a kind (write, sync, truncate, rename,
//     open, ...) with an error number such as EIO or ENOSPC, once or from
//     then on;
//   - cuts the n-th write short: a prefix reaches the file, then the next
//     write of that handle fails (what a full disk does);
//   - records every operation in order (kind, path, the bytes written);
//   - calls an optional hook before and after every operation, which may
//     fail the operation, record the file states, or end the process at a
//     chosen point (crash points, power-loss simulation).
//
// Lifetime: the FaultFs must outlive every File it opened; the wrapped
// FileSystem must outlive the FaultFs. Thread-safety: the fault rules, the
// counters and the log are guarded by a mutex, so a FaultFs may be shared
// between threads; the hook is called without the lock held (it may call
// back into the FaultFs).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "file.h"

namespace orvex::fs {

enum class Op : uint8_t {
  Open,
  Read,
  Write,
  Seek,
  Size,
  Sync,
  Truncate,
  Close,
  Exists,
  CreateDirs,
  Rename,
  SyncDir,
  Remove,
};

// "open", "write", ... for messages.
const char* op_name(Op op);

// One operation as it happened.
struct OpRecord {
  uint64_t seq = 0;     // position in the log, from 0
  Op op = Op::Open;
  std::string path;     // the file (for a rename: the source)
  std::string target;   // a rename's destination
  std::string bytes;    // Write: the bytes that reached the file
  uint64_t arg = 0;     // Open: the OpenMode; Seek: offset; Truncate: length; Read/Write: bytes asked
  int error = 0;        // 0 if it succeeded, else the error number (injected or real, -1 if unknown)
  uint64_t handle = 0;  // operations on an open file: its Open's seq + 1; 0 for the others
};

// A rule that makes operations fail.
struct Fault {
  Op op = Op::Write;
  uint64_t nth = 1;            // the n-th matching operation after the rule was added (from 1)
  int error = 5;               // EIO; ENOSPC is 28
  bool persistent = false;     // fail every matching operation from the n-th on
  // Write only: the n-th write puts this many bytes (at most what was
  // asked) into the file and reports them; the next write of that handle
  // then fails with `error`.
  std::optional<size_t> short_write;
  std::string path_contains;   // only operations on paths holding this text
};

enum class HookPoint : uint8_t { Before, After };

// Called before and after every operation. Before: return 0 to go on, or an
// error number to fail the operation without performing it. After: the
// record holds the outcome; the return value is ignored.
using FsHook = std::function<int(HookPoint, const OpRecord&)>;

class FaultFs final : public FileSystem {
 public:
  explicit FaultFs(FileSystem& base = posix()) : base_(base) {}

  void add_fault(Fault fault);
  void clear_faults();
  void set_hook(FsHook hook);
  // Stop keeping the bytes of writes in the log (for large workloads).
  void set_record_bytes(bool on);

  // A copy of the operations so far, in order.
  std::vector<OpRecord> log() const;
  void clear_log();
  // How many operations of a kind have happened since creation.
  uint64_t count(Op op) const;

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override;
  bool exists(const std::string& path) override;
  Status create_dirs(const std::string& path) override;
  Status rename(const std::string& from, const std::string& to) override;
  Status sync_dir(const std::string& path) override;
  Status remove(const std::string& path) override;

  // What the rules and the hook decided for one operation (used by the
  // files it opens).
  struct Decision {
    int inject = 0;             // fail with this error number
    std::optional<size_t> cut;  // write only this many bytes
    int cut_error = 0;          // then fail the handle's next write
  };

 private:
  friend class FaultFile;
  struct Rule {
    Fault fault;
    uint64_t seen = 0;
  };

  static OpRecord begin(Op op, const std::string& path);
  // Numbers and counts the operation, applies the rules, calls the hook.
  Decision decide(OpRecord& rec);
  // Logs the operation and calls the hook.
  void finish(OpRecord& rec);
  bool recording_bytes() const;

  // Runs one operation: performs it unless a fault fires, and logs it.
  template <class T, class F>
  Result<T> call(OpRecord& rec, F&& perform) {
    Decision d = decide(rec);
    if (d.inject != 0) {
      rec.error = d.inject;
      finish(rec);
      return Error::io(os_error_text(d.inject));
    }
    Result<T> result = perform(rec, d);
    if (!result.ok() && rec.error == 0) rec.error = -1;
    finish(rec);
    return result;
  }

  FileSystem& base_;
  mutable std::mutex mu_;
  std::vector<Rule> rules_;
  FsHook hook_;
  bool record_bytes_ = true;
  std::vector<OpRecord> log_;
  uint64_t counts_[13] = {};
  uint64_t seq_ = 0;
};

}  // namespace orvex::fs
