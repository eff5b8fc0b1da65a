// The write-ahead log (wal.log): one frame per entry, no header, no trailer;
// an empty file is a valid, empty log. Integers are little-endian.
//
// Frame layout: u32 checksum (zlib CRC-32 of the data) | u32 length | data,
// where data is the entry text, e.g.
//   {"kind":"Insert","id":7,"vector":[0.5,2.0],"payload":{"data":{}}}
//
// Errors: Error::io for input/output failures, Error::wal_corrupted for
// encoding, decoding and checksum failures, each with the step's prefix.
//
// Thread-safety: no lock of its own; append, sync, checkpoint and cut_to
// need exclusive access. read_all and from_bytes are pure
// functions of their arguments. The FileSystem passed to open must outlive
// the Wal.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../error.h"
#include "../payload.h"
#include "buffered_writer.h"
#include "file.h"

namespace orvex {

enum class WalEntryKind : uint8_t { Insert = 1, Update = 2, Delete = 3, Checkpoint = 4 };

struct WalEntry {
  WalEntryKind kind = WalEntryKind::Insert;
  uint64_t id = 0;
  std::vector<float> vector;
  Payload payload;

  bool operator==(const WalEntry&) const = default;
};

// A chunk of records a bulk batch wrote straight to the data file, as the
// Checkpoint entry logged before it names it: payload members bulk_offset,
// bulk_bytes and bulk_crc32c (of the records, delete markers counted as
// zero). Replay passes over it like any Checkpoint entry.
struct BulkChunk {
  uint64_t offset = 0, bytes = 0;
  uint32_t crc = 0;

  Payload entry() const;
  // The chunk an entry names, when it is a bulk chunk's entry.
  static std::optional<BulkChunk> of(const WalEntry& entry);
  bool holds(uint64_t at) const { return at >= offset && at - offset < bytes; }
};

// Every entry of a log in file order. end_offset is the end of the last
// whole frame; bytes after it are the unfinished end of an interrupted write.
struct WalRead {
  std::vector<WalEntry> entries;
  uint64_t end_offset = 0;
};

// What a scan of a log finds: the entries of the whole, sound frames before
// the first damaged one, where they end, and the first damage (a whole frame
// with a bad checksum or undecodable text, or a zero header before non-zero
// bytes) with the offset of its frame. With no damage, bytes after
// end_offset are a torn tail (an interrupted write).
struct WalScan {
  std::vector<WalEntry> entries;
  std::vector<uint64_t> ends;  // where each entry's frame ends
  uint64_t end_offset = 0;
  uint64_t size = 0;
  std::optional<Error> damage;
};

// Frames encoded ahead of appending, for a batch: whole frames back to back
// and the number of entries they hold.
struct FrameRun {
  std::string bytes;
  size_t entries = 0;

  void clear() {
    bytes.clear();
    entries = 0;
  }
};

class Wal {
 public:
  // Opens (creating if missing) the log at `path` for appending. Nothing is
  // read or checked; new frames go after what the file holds. append()
  // forces the log once `sync_every` entries are unsynced (1: after every
  // entry; 0: never by itself, only at sync() or checkpoint()).
  static Result<std::unique_ptr<Wal>> open(fs::FileSystem& fs, std::string path, uint64_t sync_every);

  // Writes out the buffer, ignoring errors, without a sync.
  ~Wal();
  Wal(const Wal&) = delete;
  Wal& operator=(const Wal&) = delete;

  // Frames the entry and hands it to the buffer whole, then syncs when
  // sync_every entries are unsynced. A vector with a non-finite component is refused
  // (WalCorrupted "serialization failed: vector component N is not finite")
  // and nothing is written; so is an entry text of 4 GiB or more (Io). If the
  // frame cannot be handed over, nothing of it reaches the file. If only the
  // sync fails, the frame was handed over and counted, and the error is
  // returned.
  Status append(const WalEntry& entry);
  // Same bytes as append({kind, id, vector, payload}), without a copy.
  Status append(WalEntryKind kind, uint64_t id, std::span<const float> vector, const Payload& payload);

  // Appends to `run` the frame append() would write for this entry (the
  // same bytes). On failure `run` is as it was and the error is append()'s.
  // A pure function of its arguments: runs may be encoded on many threads.
  static Status encode(WalEntryKind kind, uint64_t id, std::span<const float> vector, const Payload& payload,
                       FrameRun& run);
  // Refuses, with append()'s error, an Insert or Update entry whose frame
  // could not be encoded (a component that is not finite, a payload with no
  // text), without encoding its vector.
  static Status check_entry(std::span<const float> vector, const Payload& payload);
  // Hands a run of frames to the file as one piece, accepted or refused
  // whole like a single frame (8192 bytes or more go straight to the file).
  // Its entries count as unsynced, but it never syncs by itself: the batch
  // that appends runs forces the log once, at its end.
  Status append_run(const FrameRun& run);
  uint64_t sync_every() const { return sync_every_; }

  // Writes out the buffer and forces the file to stable storage; on success
  // unsynced_entries() becomes 0.
  Status sync();

  // Appends and syncs a Checkpoint entry, then empties the file and starts
  // a new generation in it.
  Status checkpoint();

  // Generations: every log a writer starts (an empty log at open, and the
  // one each checkpoint leaves) begins with a Checkpoint entry whose payload
  // holds only log_generation, a random number, so that a reader can tell
  // one log from the next: frames are only ever appended to a log until a
  // checkpoint empties it (see snapshot_reader.h). Replay passes over it
  // like any Checkpoint entry; older versions read it as one.
  //
  // Starts a generation in an empty log (nothing when it holds frames): its
  // entry is appended and written out at once, not synced.
  Status start_generation();
  // The generation an entry starts, when it is a generation entry.
  static std::optional<uint64_t> generation_of(const WalEntry& entry);
  // The generation at the start of the log at `path`; nullopt when the file
  // is missing or empty or does not begin with a whole generation entry.
  static Result<std::optional<uint64_t>> read_generation(fs::FileSystem& fs, const std::string& path);

  // Cuts the file back to `offset` bytes and syncs it (at open, after a torn
  // tail, with read_all's end_offset).
  Status cut_to(uint64_t offset) { return writer_->cut_to(offset); }

  uint64_t unsynced_entries() const { return unsynced_entries_; }
  // The file's length as this writer knows it (frames still buffered included).
  uint64_t length() const { return writer_->end_offset(); }
  const std::string& path() const { return path_; }

  // Reads every entry of the log at `path` (its own handle; never an open
  // Wal). A missing or empty file is an empty log. A frame cut short by the
  // end of the file, or a tail of zero bytes to the end of the file, ends
  // the log quietly (end_offset = end of the last whole frame). A whole frame
  // with a bad checksum or undecodable text is an error, and then no entry
  // is returned.
  static Result<WalRead> read_all(fs::FileSystem& fs, const std::string& path);
  // The same reading, keeping what precedes the damage (errors only for
  // input/output failures), from offset `from` (a frame boundary; a file no
  // longer than it reads as empty there) and for at most `most` entries.
  static Result<WalScan> scan(fs::FileSystem& fs, const std::string& path, uint64_t from = 0,
                              size_t most = SIZE_MAX);

  // Decodes one entry text; WalCorrupted "deserialization failed: " + cause.
  static Result<WalEntry> from_bytes(std::string_view data);

 private:
  Wal(fs::FileSystem& fs, std::string path, std::unique_ptr<fs::File> file, uint64_t length, uint64_t sync_every);

  fs::FileSystem& fs_;
  std::string path_;
  std::unique_ptr<fs::BufferedWriter> writer_;
  uint64_t sync_every_;
  uint64_t unsynced_entries_ = 0;
  std::string frame_;  // one encoded frame, reused between appends
};

}  // namespace orvex
