// Simulated power loss. Fed the operation log of a workload (a FaultFs log
// with the bytes of every write), PowerLossModel follows what the disk holds
// for sure (each file as of its last sync, each directory's entries as of its
// last directory sync) and what is still pending (later writes, truncations,
// creations, renames). From that it builds the states a power loss right
// after the last operation fed could leave:
//   - each file: its synced contents plus a prefix of its later writes and
//     truncations, the last write possibly torn (only part of its bytes);
//   - each directory: its synced entries plus a prefix of its later
//     creations, renames and removals (a file whose creation is lost is
//     gone, whatever was written to it).
// Files are independent of each other, as on a real disk.
//
// Paths are kept relative to `root`, the directory the workload ran in.
// Thread-safety: none. Not for production use.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <set>
#include <string>
#include <vector>

#include "../storage/fault_fs.h"

namespace orvex::testing {

// What a disk holds after the loss: directories and files (relative paths).
struct DiskState {
  std::set<std::string> dirs;
  std::map<std::string, std::string> files;

  bool operator<(const DiskState& o) const { return std::tie(dirs, files) < std::tie(o.dirs, o.files); }
  // Writes the state under `dir` (which exists and is empty).
  void materialize(const std::string& dir) const;
};

class PowerLossModel {
 public:
  explicit PowerLossModel(std::string root) : root_(std::move(root)) {}

  // Feeds the next operation (in log order). Failed operations change
  // nothing.
  void apply(const fs::OpRecord& rec);
  // Whether an operation can change what a power loss leaves.
  static bool changes_disk(const fs::OpRecord& rec);

  // Everything pending reached the disk (what a process crash leaves).
  DiskState everything() const;
  // Only what was synced.
  DiskState synced_only() const;
  // A random mix: per file and per directory a random prefix of the pending
  // changes, the last write torn half of the time.
  DiskState sample(std::mt19937_64& rng) const;

  // Everything pending reached the disk except the last write of one file,
  // which is torn: one state per file with such a write and per cut (1
  // byte, half, all but 1 byte).
  std::vector<DiskState> torn_tails() const;

  // Pending changes across all files and directories (0: a loss changes
  // nothing).
  size_t pending() const;
  // Torn writes built by sample() so far.
  uint64_t torn_writes() const { return torn_; }

 private:
  struct Change {  // to a file's contents
    bool truncate = false;
    uint64_t offset = 0;  // write offset, or truncation length
    std::string bytes;
  };
  struct Inode {
    std::string synced, current;
    std::vector<Change> pending;
  };
  struct DirChange {
    enum class Kind : uint8_t { Create, Mkdir, Rename, Remove } kind;
    std::string path, target;
    size_t inode = 0;
  };
  struct Names {
    std::set<std::string> dirs;
    std::map<std::string, size_t> files;  // path -> inode
    void apply(const DirChange& c);
  };
  struct Handle {
    size_t inode = 0;
    bool append = false;
    uint64_t pos = 0;
  };

  std::string rel(const std::string& path) const;
  static std::string parent(const std::string& rel_path);
  static void put(std::string& data, const Change& c, size_t cut);
  // choose(n) -> how many of n pending changes reach the disk; cut(len) ->
  // bytes of the last write that do (len = all).
  template <class Choose, class Cut>
  DiskState build(Choose&& choose, Cut&& cut) const;

  std::string root_;
  std::vector<Inode> inodes_;
  std::map<uint64_t, Handle> handles_;
  Names current_, synced_;
  std::map<std::string, std::vector<DirChange>> dir_pending_;  // per parent directory
  mutable uint64_t torn_ = 0;
};

}  // namespace orvex::testing
