// Finding damage: the data file read against its sum file (checksum.h) and
// against the log. Opening refuses what this finds; verify reports it;
// repair sets it aside (repair.h).
//
// What counts as damage in data.ovx:
//   - in the part the sum file covers: a block whose sum differs, a record
//     that cannot be read, a file shorter than the covered length, and a
//     record marked deleted when the sum file was written that is live now
//     (markers only ever go from live to deleted);
//   - after it: a record whose vector and payload are a log entry's under
//     another id (its id changed). A record whose id has entries in the log
//     but none with its vector and payload differs from the log: opening
//     replays the log over it, verify reports it. A record there whose id
//     the log does not mention at all is counted (`not_in_log`), not
//     damage: a writer that keeps no sums (an older version) flushed since
//     the sums were written, or the log was cut exactly at a frame boundary,
//     which cannot be told from a shorter log. Repair sets such records
//     aside only with the log frames it sets aside. Without current sums
//     nothing is checked (the log may be younger than any record).
// The sums are made durable before each checkpoint empties the log, so with
// this version every record after the covered length has its entry in the
// log.
// A record marked deleted since the sum file was written is a new mark:
// sound when a later record or a log entry names its id (verify and repair
// check that; opening cannot tell a deletion made without a log entry).
//
// Thread-safety: plain functions over files the caller has locked.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../error.h"
#include "checksum.h"
#include "data_file.h"
#include "wal.h"

namespace orvex {

// The Insert and Update entries of a log, by id and by vector.
// Built at the first lookup: most opens never ask.
class LogIndex {
 public:
  explicit LogIndex(std::span<const WalEntry> entries) : entries_(entries) {}
  enum class Match { Described, Differs, OtherId, Unmentioned };
  // A record's payload is compared as text when it was read raw.
  Match match(const DataRecord& rec, bool raw) const;
  // Whether a bulk chunk the log names holds the record at `offset` (the
  // chunk's entry describes it; opening checks the chunk's CRC-32C).
  bool in_bulk_chunk(uint64_t offset) const {
    build();
    for (const BulkChunk& c : bulk_) {
      if (c.holds(offset)) return true;
    }
    return false;
  }
  // Whether any entry (a deletion included) names the id.
  bool mentions(uint64_t id) const {
    build();
    return mentioned_.contains(id);
  }

 private:
  void build() const;

  std::span<const WalEntry> entries_;
  mutable bool built_ = false;
  mutable std::unordered_map<uint64_t, std::vector<const WalEntry*>> by_id_;
  mutable std::unordered_multimap<uint64_t, const WalEntry*> by_vector_;  // by a hash of the vector's bits
  mutable std::unordered_set<uint64_t> mentioned_;
  mutable std::vector<BulkChunk> bulk_;
};

enum class SumState { Missing, Damaged, Stale, Current };
const char* sum_state_name(SumState state);

struct DataCheck {
  uint64_t size = 0;     // of the file
  uint64_t end = 0;      // end of the last whole record
  uint64_t records = 0;  // whole records, deleted ones included
  BlockSums sums;        // of the whole records
  std::vector<uint64_t> deleted;  // records marked deleted now
  SumState state = SumState::Missing;
  std::string sum_problem;        // what is wrong with a damaged or stale sum file
  uint64_t covered = 0;           // bytes vouched for (0 unless Current)
  std::vector<std::pair<uint64_t, uint64_t>> bad_blocks;  // [start, end) of blocks whose sums differ
  std::vector<uint64_t> revived;  // records deleted when the sums were written, live now
  std::vector<std::pair<uint64_t, uint64_t>> new_marks;  // (offset, id) marked since then
  std::vector<uint64_t> other_id;  // records after `covered` holding another id's entry
  std::vector<uint64_t> differ;    // records after `covered` whose id's entries hold other contents
  uint64_t described = 0;                                // records after `covered` the log describes
  std::vector<uint64_t> unmentioned;                     // and those whose id it does not mention
  std::optional<uint64_t> damage_at;                     // the first damage
  std::string damage;                                    // what it is

  // "data.ovx damaged at offset N: ..." with the way out.
  Error error() const;
};

// Reads the sum file beside data.ovx in `dir`: nullopt when there is none.
std::optional<Result<SumFile>> read_sum_file(fs::FileSystem& fs, const std::string& dir);

// Scans `data` (visit sees its live records, raw as in scan_active) and
// checks it against `sums` and `log`.
Result<DataCheck> check_data(DataFile& data, const std::optional<Result<SumFile>>& sums, const LogIndex& log,
                             const std::function<void(DataRecord&)>& visit, bool raw);

}  // namespace orvex
