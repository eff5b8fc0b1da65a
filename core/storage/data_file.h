// The data file (data.ovx): every stored vector with its id and payload, as
// variable-length records written one after another. No header, no trailer;
// an empty file is valid. Integers are little-endian.
//
// Record layout (17 + 4*dim + payload_len bytes):
//   u8 deleted (written 0; exactly 1 means deleted) | u64 id | u32 dim |
//   dim x f32 components | u32 payload_len | payload text (UTF-8)
//
// A DataFile keeps one handle open for appending behind an 8192-byte write
// buffer; reads and scans open short-lived handles of their own. Records are
// never moved; the only byte that changes after a record is written is its
// delete marker.
//
// Errors: every failure is Error::io with the step's prefix followed by the
// cause (e.g. "failed to open data file: Permission denied (os error 13)").
//
// Thread-safety: no lock of its own. append, write_out, sync and cut_to
// change the writer and need exclusive access. read_at, iter_active and scan_active
// only use the path and their own handles (they never see records still in
// the buffer). mark_deleted writes one byte (through its own handle, or into
// the buffer for a buffered record) and may run beside reads and other
// mark_deleted calls at other offsets, but not beside append, write_out,
// sync or cut_to; mark_deleted_many likewise. The FileSystem passed to open must outlive the DataFile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../error.h"
#include "../payload.h"
#include "buffered_writer.h"
#include "checksum.h"
#include "file.h"

namespace orvex {

// One record as read back.
struct DataRecord {
  uint64_t id = 0;
  std::vector<float> vector;
  Payload payload;
  std::string payload_text;  // instead of payload, in raw scans
  bool deleted = false;
  uint8_t marker = 0;   // the delete marker's byte as read (deleted: exactly 1)
  uint64_t offset = 0;  // where the record starts in the file
};

// What a scan can do besides visiting the live records.
struct ScanExtras {
  // Gets the block sums of the whole records read (markers counted as zero).
  BlockSums* sums = nullptr;
  // Sees every whole record, deleted ones included, before `visit` does.
  std::function<void(const DataRecord&)> every;
};

// The live records of a scan, in file order. end_offset is the end of the
// last whole record read (deleted ones included): where the scan stopped.
// Bytes from end_offset to the end of the file are a torn or damaged tail.
struct DataScan {
  std::vector<DataRecord> records;
  uint64_t end_offset = 0;
};

class DataFile {
 public:
  // Opens (creating if missing) the data file at `path` for appending.
  // offset() starts at the file's length; nothing is read or checked.
  static Result<std::unique_ptr<DataFile>> open(fs::FileSystem& fs, std::string path);
  // Opens an existing data file only to read it (scans, read_at, identity).
  static Result<std::unique_ptr<DataFile>> open_to_read(fs::FileSystem& fs, std::string path);

  // Writes out the buffer, ignoring errors, without a sync.
  ~DataFile();
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  // Appends one record and returns the offset where it starts. The record is
  // encoded whole before it is handed to the buffer: on failure nothing of it
  // reaches the file and offset() is unchanged. A vector of more than
  // 4294967295 components or a payload text of 4 GiB or more is refused.
  // Costs no system call unless the buffer fills.
  Result<uint64_t> append(uint64_t id, std::span<const float> vector, const Payload& payload);
  // The same with the payload text given as it is (copied from a raw scan).
  Result<uint64_t> append_text(uint64_t id, std::span<const float> vector, std::string_view payload_text);

  // Reads the record that starts at `offset`, deleted or not (records still
  // in the write buffer are not visible). A stated dim or payload_len larger
  // than what is left in the file fails without reserving memory for it.
  Result<DataRecord> read_at(uint64_t offset) const;

  // Sets the delete marker of the record that starts at `offset`. A record
  // still in the write buffer is marked in the buffer. Never writes at or
  // past the end of the appended data (refused with an error). The marker is
  // not synced.
  Status mark_deleted(uint64_t offset);

  // Writes `value` into the delete marker of the record at `offset` of the
  // file (for repair: a marker put back as the sums knew it). Not synced.
  Status write_marker(uint64_t offset, uint8_t value);

  // Sets the delete markers of many records at once, in offset order (the
  // span is copied and sorted): buffered records are marked in the buffer,
  // the others through one handle opened once, one seek and one byte written
  // each. Every offset is checked against the end of the appended data
  // before anything is written; the errors are mark_deleted's. After a
  // failed write the markers before it are set and the rest are not.
  Status mark_deleted_many(std::span<const uint64_t> offsets);

  // The live records of the file, in file order, with end_offset. Reads the
  // file once, front to back, through one handle. Stops quietly at the first
  // record that cannot be read whole (torn or damaged tail).
  Result<DataScan> iter_active() const;

  // Same scan, streaming: calls visit for each live record and returns
  // end_offset. One DataRecord is reused for the whole scan (its vector keeps
  // its capacity), so a record costs no allocation unless it carries a
  // payload; the visitor may copy from it or move its members out (a moved
  // vector or payload is simply rebuilt for the next record). An empty
  // payload costs no parsing.
  // `whole_records`, when given, receives how many whole records the scan
  // read, deleted ones included. A raw scan leaves each payload as its text
  // (payload_text) unparsed.
  Result<uint64_t> scan_active(const std::function<void(DataRecord&)>& visit,
                               uint64_t* whole_records = nullptr, bool raw = false,
                               ScanExtras* extras = nullptr) const;

  // Writes out the buffer without forcing it to stable storage.
  Status write_out();
  // Writes out the buffer and forces the file to stable storage.
  Status sync();

  // Held mode: appended records wait in memory (the buffer grows as needed)
  // and reach the file only at write_out, sync or destruction. See
  // BufferedWriter. buffered_bytes() tells how much is waiting.
  void set_hold(bool hold) { writer_.set_hold(hold); }
  size_t buffered_bytes() const { return writer_.buffered(); }
  // Drops the records still waiting in the buffer, so that destruction
  // writes nothing (for a collection whose log could not be forced: the log
  // still describes them, and the next open appends them again).
  void discard_buffer() { writer_.discard(); }

  // The CRC-32C of the records waiting in the buffer, freshly appended (so
  // every delete marker is still zero).
  uint32_t waiting_crc32c() { return crc32c(0, writer_.buffer_data(), writer_.buffered()); }
  // The CRC-32C of the whole records in [offset, offset + length) of the
  // file, each delete marker counted as zero (markers change after a record
  // is written), read through a handle of its own; nullopt when the range
  // does not hold whole records or the file ends before it.
  Result<std::optional<uint32_t>> records_crc32c(uint64_t offset, uint64_t length) const;
  // The same through a handle of the caller's.
  static Result<std::optional<uint32_t>> range_crc32c(fs::File& file, uint64_t offset, uint64_t length);

  // Reads the whole records of [from, to) through `file` (a handle to a data
  // file, positioned by this call), deleted ones included, in file order,
  // into `visit` (one DataRecord reused, as in scan_active); returns where
  // the last whole one ends. A record that does not end by `to` or by the
  // end of the file ends the scan quietly.
  static Result<uint64_t> scan_range(fs::File& file, uint64_t from, uint64_t to,
                                     const std::function<void(DataRecord&)>& visit);

  // Cuts the file back to `offset` bytes and syncs it; offset() becomes
  // `offset` (at open, after a torn tail, with the scan's end).
  Status cut_to(uint64_t offset) { return writer_.cut_to(offset); }

  // Block sums of everything appended (held bytes included), markers counted
  // as zero: appended records feed them; after open they are empty until
  // set_sums gives those of the file's existing bytes.
  const BlockSums& sums() const { return sums_; }
  void set_sums(BlockSums sums) { sums_ = std::move(sums); }
  // The file's identity (File::identity).
  Result<uint64_t> identity() { return writer_.identity(); }

  // Where the next record will start (counts bytes still in the buffer).
  uint64_t offset() const { return writer_.end_offset(); }
  const std::string& path() const { return path_; }

 private:
  DataFile(fs::FileSystem& fs, std::string path, std::unique_ptr<fs::File> file, uint64_t length);
  static Result<std::unique_ptr<DataFile>> open_as(fs::FileSystem& fs, std::string path, fs::OpenMode mode);
  template <class WritePayload>
  Result<uint64_t> append_record(uint64_t id, std::span<const float> vector, WritePayload&& write_payload);

  fs::FileSystem& fs_;
  std::string path_;
  fs::BufferedWriter writer_;
  std::string scratch_;  // one encoded record, reused between appends
  BlockSums sums_;
};

}  // namespace orvex
