// StorageEngine: the files of one collection directory and every rule about
// how they reach the disk.
//
//   wal.log    the write-ahead log: one frame per change since the last
//              checkpoint (wal.h)
//   data.ovx   the records of every stored vector, appended, never moved;
//              only a record's delete marker changes (data_file.h)
//   meta.json  settings and counters, replaced atomically (its text:
//              meta_file.h); checked against the collection's settings
//              before any other file is opened
//   data.ovx.sum  checksums of data.ovx up to the last checkpoint
//              (checksum.h), replaced atomically; checked at recovery
//              (damage.h): damage refuses the opening before any file
//              changes, and only bytes past what they cover count as a
//              torn tail
//
// The write-ahead rule, enforced here and nowhere else: a record reaches
// data.ovx only once the log frame describing it is on stable storage.
// Otherwise a crash could leave a newer record of an id in the data file
// while the log, replayed over it, still holds an older entry of that id,
// and the recovered content would be no prefix of the changes. Appended
// records therefore wait in memory (the data file's held buffer); they go
// out in runs of at least 1 MiB while the log is synced, and more than
// 4 MiB waiting forces the log early, so memory stays bounded whatever the
// sync policy. A checkpoint, and destruction, force the log before writing
// them out; if destruction cannot force the log, the waiting records are
// dropped (the log still describes them and the next open appends them
// again).
//
// Bulk batches: a large batch of insertions is not logged entry by entry.
// A checkpoint comes first, so the log is empty and every earlier change is
// in data.ovx; then the batch's records go straight to data.ovx in chunks.
// Before a chunk is written, a Checkpoint entry naming the chunk's offset,
// length and CRC-32C is appended to the log and forced: the write-ahead rule
// for the chunk, whose bytes a durable frame now describes. A closing
// checkpoint then syncs the data file, replaces the sums and empties the log,
// and only then does the batch return. At open each such entry's chunk must
// be whole and match its CRC-32C, unless current sums already vouch for it;
// the first that does not is the unfinished end of an interrupted batch, and
// data.ovx is cut back to where that chunk starts (with everything after it,
// which only later log entries can describe). So a crash leaves a prefix of
// the batch's chunks, no record of one is trusted unchecked, and no id
// deleted or replaced after the batch comes back. Older versions read the
// entries as plain checkpoints.
//
// Superseded records (the earlier record of a re-inserted id) stay live
// until the next checkpoint, which marks them deleted once their successors
// are written out, and syncs the data file before it empties the log. A mark
// lost to a crash is harmless: recovery keeps the newest live record of an
// id.
//
// Once syncing the data file has failed, every later checkpoint fails with
// that error and the log is never emptied again by this engine: after a
// failed fsync the system may have dropped the unwritten pages, and only the
// log still describes them.
//
// Compaction rewrites data.ovx with only the records still in use: a new
// file written beside it and synced, renamed over it, the directory synced.
// A crash leaves the old file or the new one, each whole; a stale new file
// is removed at the next open.
//
// One writer per directory: open takes an advisory lock on the directory
// itself, held until the engine is destroyed. Readers (snapshot_reader.h)
// take no lock and are never waited for: nothing here changes for them but
// that every log starts with a generation entry (wal.h).
//
// Opening cuts each file back to the end of its last whole frame or record
// (the torn end of an interrupted write) before anything is appended behind
// it, and forces the log before replayed records reach the data file (the
// log as read may sit only in the operating system's cache).
//
// Errors are the storage's own (Error::io, Error::wal_corrupted) or
// Error::collection for the directory and meta.json ("create dir failed:
// ...", "read meta failed: ...", "parse meta failed: ...", "dimension
// mismatch: collection has A, config has B", "serialize meta failed: ...",
// "write meta failed: ...", "sync dir failed: ...").
//
// Thread-safety: none; the owner serialises every call. The FileSystem must
// outlive the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../distance.h"
#include "../error.h"
#include "../payload.h"
#include "checksum.h"
#include "data_file.h"
#include "file.h"
#include "wal.h"

namespace orvex {

// What recovery streams, in order: every live record of the data file, then
// every entry of the log.
class RecoveryVisitor {
 public:
  virtual ~RecoveryVisitor() = default;
  // One live record, in file order. The record is reused for the next one;
  // the visitor may copy from it or move its members out.
  virtual void on_record(DataRecord& record) = 0;
  // Before the first entry: all of them, as a capacity hint.
  virtual void before_entries(std::span<const WalEntry> entries) { (void)entries; }
  // One log entry, in log order; an error stops recovery and is returned.
  virtual Status on_entry(WalEntry& entry) = 0;
};

// The collection's settings: what meta.json records and is checked
// against, and how often the log forces itself.
struct StorageSettings {
  uint64_t dimension = 0;
  DistanceMetric metric = DistanceMetric::Euclidean;
  // The log is forced once this many entries are unsynced (0: only at
  // checkpoints and when records wait too long).
  uint64_t log_sync_every = 0;
};

class StorageEngine {
 public:
  // Opens directory `dir`, creating it and its missing parents when it does
  // not exist. When meta.json exists, it is read and its dimension checked
  // against `settings` before wal.log and data.ovx are opened (created when
  // missing), so a refused meta.json changes no file; `*existing` tells
  // whether it existed.
  static Result<std::unique_ptr<StorageEngine>> open(fs::FileSystem& fs, const std::string& dir,
                                                     const StorageSettings& settings, bool* existing);

  ~StorageEngine();
  StorageEngine(const StorageEngine&) = delete;
  StorageEngine& operator=(const StorageEngine&) = delete;

  // Streams the files through `visitor` (see RecoveryVisitor), cutting torn
  // tails and forcing the log as described above. Call once, right after
  // open. The visitor applies the entries through append(..., /*log=*/false).
  Status recover(RecoveryVisitor& visitor);

  // A change. With `log`, its frame is appended to the log first; if that
  // fails nothing else happens. Insert and Update then append a record and
  // set *offset to where it starts (Delete appends none). An error with
  // *offset set came afterwards, from letting waiting records out: the
  // change stays logged and appended, the records keep waiting (during
  // recovery such an error is left for the next checkpoint to report).
  Status append(WalEntryKind kind, uint64_t id, std::span<const float> vector, const Payload& payload, bool log,
                std::optional<uint64_t>* offset);
  // A batch of changes of one kind, as many append(..., log=true) calls in
  // order would make them, with the same log bytes, but logged together:
  // frames are encoded on up to `threads` cores (0: every core once the
  // batch is large) and handed to the log in runs of at least 1 MiB, and the
  // log is forced once, at the end of the batch, instead of every
  // `log_sync_every` entries (not at all when the log syncs only at
  // checkpoints). Nothing of a batch is acknowledged before it returns, so
  // no entry of it is ever acknowledged unsynced.
  //
  // `applied(begin, end, offsets)` learns each stretch of items whose frames
  // the log took and whose records were appended (offsets[i - begin] for
  // Insert and Update; empty for Delete), in order. The first item that
  // fails (a frame that cannot be encoded, a refused write, a record that
  // cannot be appended, an error of `applied`) stops the batch: the items
  // before it stay logged and applied, and its error is returned, after the
  // forced log (whose own failure is returned when nothing failed before).
  // Frames of a stretch are logged before its records are appended, so a
  // failure after the log took them (out of memory for a record or in
  // `applied`) leaves later items of that stretch logged, not applied: the
  // next open replays them, still a prefix of the batch.
  struct Batch {
    WalEntryKind kind = WalEntryKind::Insert;
    std::span<const uint64_t> ids;
    std::span<const float> rows;  // ids.size() rows of `dimension` floats (Insert, Update)
    size_t dimension = 0;
    std::span<const Payload> payloads;  // empty, or one per id
  };
  Status append_batch(const Batch& batch, size_t threads,
                      const std::function<Status(size_t begin, size_t end, std::span<const uint64_t> offsets)>& applied);

  // A batch of insertions by the bulk path (see above), in chunks of about
  // `chunk_bytes` of records; `applied` as for append_batch, once per chunk
  // whose records are written. The first failing item (a vector with a
  // component that is not finite or a payload that cannot be written,
  // refused with the log's errors) stops the batch after the chunks before
  // it, which the closing checkpoint still makes durable; its error is
  // returned. A failed checkpoint fails the batch: its chunks written so far
  // stay applied, and the next open keeps those it can check.
  Status append_bulk(const Batch& batch, uint64_t chunk_bytes,
                     const std::function<Status(size_t begin, size_t end, std::span<const uint64_t> offsets)>& applied);

  // Marks the record at `offset` deleted now (not synced).
  Status mark_deleted(uint64_t offset);
  // Marks the record at `offset` deleted at the next checkpoint.
  void supersede(uint64_t offset);

  // Log forced, waiting records written out, superseded records marked,
  // data file synced, data.ovx.sum replaced and its directory entry synced,
  // log emptied.
  Status checkpoint();
  // Forces the log to stable storage.
  Status sync_log() { return wal_->sync(); }

  // Rewrites data.ovx to hold, in file order, only the live records that
  // `keep(id, offset)` accepts; `moved(id, new_offset)` learns each kept
  // record's new place once the new file is in place. Returns the bytes
  // reclaimed. Precondition: a checkpoint has just succeeded (nothing
  // waits). Streams the file: memory holds one record and the new offsets.
  Result<uint64_t> compact(const std::function<bool(uint64_t id, uint64_t offset)>& keep,
                           const std::function<void(uint64_t id, uint64_t offset)>& moved);

  // Whole records in data.ovx (deleted ones included), its bytes, the log's.
  uint64_t data_records() const { return records_; }
  uint64_t log_bytes() const { return wal_->length(); }

  // Bytes in the data file (a capacity hint for recovery).
  uint64_t data_bytes() const { return data_->offset(); }

  // Replaces meta.json with the settings and these counters: a temporary
  // file, synced, renamed over it, the directory synced; for a new
  // collection, then each parent of its directory and of the directory's
  // ancestors.
  Status write_meta(uint64_t vector_count, uint64_t next_id);

 private:
  StorageEngine(fs::FileSystem& fs, std::string dir, const StorageSettings& settings,
                std::unique_ptr<fs::DirLock> lock, std::unique_ptr<Wal> wal, std::unique_ptr<DataFile> data,
                std::vector<std::string> created_dirs);
  // Lets waiting records out under the write-ahead rule.
  Status release_records();
  // Marks the superseded records; on failure keeps them for the next try.
  Status mark_superseded();
  // Cuts data.ovx back to the first chunk of a bulk batch, named in
  // `entries`, that it does not hold whole (see above).
  Status cut_unfinished_bulk(std::span<const WalEntry> entries);
  // Replaces data.ovx.sum with the sums of the whole data file (written out
  // and synced before).
  Status write_sums();

  fs::FileSystem& fs_;
  const std::string dir_;
  const StorageSettings settings_;
  std::unique_ptr<fs::DirLock> lock_;  // released after the files are closed
  std::unique_ptr<Wal> wal_;
  std::unique_ptr<DataFile> data_;
  std::vector<uint64_t> superseded_;
  std::vector<uint64_t> deleted_;  // offsets of the records marked deleted (repeats allowed)
  std::optional<Result<SumFile>> sum_file_;  // as open found it
  std::optional<Error> data_sync_failure_;
  bool replaying_ = false;
  uint64_t records_ = 0;
  // Set when a compaction put its new file in place but could not reopen
  // it: the old handle may no longer be written, so every later change fails.
  std::optional<Error> data_lost_;
  std::vector<std::string> created_dirs_;  // deepest first; synced into their parents by the first write_meta
  std::vector<FrameRun> runs_;  // a batch's frames, one run per encoding thread, reused
};

}  // namespace orvex
