// SnapshotReader: follows a collection directory that one writer (a
// StorageEngine, in this process or another) may be changing at the same
// time, and changes nothing itself: no file is created, cut, renamed or
// written, and no lock is taken. The writer never waits for a reader and a
// reader never waits for the writer.
//
// A reader hands out a snapshot: the writer's changes up to some instant,
// a prefix in the writer's order, read from whole frames and whole records
// only (a torn tail is where it stops, to be read once it is whole). It
// rests on what the writer keeps true:
//   - records reach data.ovx only once their log frames are on the file, and
//     delete markers are set only by checkpoints and by the replay of an
//     open, behind the frames that explain them; the data file up to the
//     length data.ovx.sum covers never changes again but for delete
//     markers, until a compaction replaces the file;
//   - data.ovx.sum is replaced before each checkpoint empties the log, so
//     the data file up to its covered length, with the records it lists as
//     deleted, holds every change of every log emptied before it;
//   - frames are only appended to a log until a checkpoint empties it, and
//     every log starts with a generation entry (wal.h) naming a random
//     number.
//
// The rule, enforced in read_changes and nowhere else: frames of wal.log are
// used only when the same generation is found at its start both before and
// after reading them (otherwise they may belong to the next log: the read
// starts again). Then:
//   - the same generation as at the last read: the frames after where that
//     read stopped are the new changes, in order;
//   - another one (the log was emptied since, once or more; or none): the
//     sum file, read after that generation was seen, is at least as new as
//     the log's start. The reader first reads the data file from where it
//     stopped to the covered length (a record whose offset the sum file lists
//     as deleted removes its id, any other sets it) and removes every id
//     whose newest record it read is newly listed; then it replays the log
//     from its start. Frames the sum file already covers change nothing:
//     each change sets or removes one id;
//   - the data file replaced by a compaction, or no sum file that names it:
//     everything is read again, as the writer's open reads it (the checks of
//     damage.h included; damage is refused).
// The reader keeps its data file open: its identity (the inode) is then
// never given to another file while the reader uses it.
//
// A bulk chunk's entry (wal.h) is applied once its chunk holds its checksum.
// A chunk that does not, with later frames behind its entry, is the
// unfinished end of an interrupted batch that the writer's next open cut,
// and is passed over; as the last frame it is where the read stops.
//
// Errors are the storage's own; after one the next read_changes reads
// everything again. Thread-safety: none; the owner serialises every call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../distance.h"
#include "../error.h"
#include "../id_map.h"
#include "../payload.h"
#include "data_file.h"
#include "file.h"
#include "wal.h"

namespace orvex {

// What a read hands over, in the writer's order.
class SnapshotVisitor {
 public:
  virtual ~SnapshotVisitor() = default;
  // Everything handed over before is dropped: the changes that follow
  // rebuild the whole collection.
  // `records_hint`: about how many records follow.
  virtual void reset(uint64_t records_hint) = 0;
  // `id` now holds this vector and payload (moved from). `first`: no put of
  // `id` came since the last reset (the visitor holds nothing of it).
  virtual Status put(uint64_t id, std::span<const float> vector, Payload& payload, bool first) = 0;
  virtual void remove(uint64_t id) = 0;
  // About this many changes follow (a capacity hint).
  virtual void expect(uint64_t changes) { (void)changes; }
};

class SnapshotReader {
 public:
  // Opens the collection in `dir` for reading. Its meta.json must be there
  // and whole: the dimension and metric are the collection's. Nothing else is
  // read yet.
  static Result<std::unique_ptr<SnapshotReader>> open(fs::FileSystem& fs, const std::string& dir);

  // Hands `visitor` what changed since the last read (at the first, and
  // after an error, everything, after a reset()). On an error what the
  // visitor got must be dropped.
  Status read_changes(SnapshotVisitor& visitor);

  uint64_t dimension() const { return dimension_; }
  // Bytes of the data file and of the log read so far.
  uint64_t data_bytes() const { return data_end_; }
  uint64_t log_bytes() const { return log_offset_; }
  DistanceMetric metric() const { return metric_; }

 private:
  SnapshotReader(fs::FileSystem& fs, std::string dir, uint64_t dimension, DistanceMetric metric)
      : fs_(fs), dir_(std::move(dir)), dimension_(dimension), metric_(metric) {}

  Status follow(SnapshotVisitor& visitor);
  // Everything from the start, as the writer's open reads it.
  Status reload(SnapshotVisitor& visitor);
  // The data file up to what the current sum file covers (or a reload).
  Status catch_up(SnapshotVisitor& visitor);
  // A record of the data file read as the newest of its id; `reloading`:
  // read since the visitor's reset, before any frame.
  Status put_record(SnapshotVisitor& visitor, DataRecord& rec, bool reloading);
  // Enters the records read since the last call in newest_.
  void note_newest();
  // Hands over `entries` (read from `from`); returns where the read stops.
  Result<uint64_t> apply_frames(SnapshotVisitor& visitor, WalScan& scan, uint64_t from);

  fs::FileSystem& fs_;
  const std::string dir_;
  const uint64_t dimension_;
  const DistanceMetric metric_;

  std::unique_ptr<fs::File> data_;  // the data file read, kept open
  uint64_t data_identity_ = 0;
  uint64_t data_end_ = 0;  // records before this offset are read
  // id -> offset of its newest record read, while live, for the records of
  // read_records_[0, noted_) (those after it are entered when a deletion
  // needs the map: note_newest).
  IdMap newest_;
  std::vector<std::pair<uint64_t, uint64_t>> read_records_;  // (offset, id) of every record read, ascending
  size_t noted_ = 0;
  std::vector<uint64_t> known_deleted_;  // the sum file's list as last read
  std::optional<uint64_t> generation_;  // of the log whose frames were read last
  uint64_t log_offset_ = 0;             // where that read stopped
};

}  // namespace orvex
