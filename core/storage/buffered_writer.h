// A write buffer of 8192 bytes over one File, shared by the data file and
// the write-ahead log.
//
// Contract: callers hand over whole records (or frames) in one piece. A
// piece is either accepted whole (copied into the buffer, or written straight
// to the file when it is 8192 bytes or more) or refused whole: when the
// buffer must be written out first and that fails, nothing of the new piece
// is kept, so a failed record never reaches the file in front of later ones.
// Bytes already accepted are written in order; after a write that fails part
// way, the unwritten rest stays in the buffer and goes out first next time.
//
// Held mode: while held, nothing is written to the file by append: every
// piece waits in the buffer, which grows past 8192 bytes as needed, until
// write_out() or until the hold is lifted and the next append writes it out.
// The storage engine holds its data file this way (see engine.h).
//
// Thread-safety: none; one user at a time. Owns its File.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "../error.h"
#include "file.h"

namespace orvex::fs {

class BufferedWriter {
 public:
  static constexpr size_t kCapacity = 8192;

  // `file_length`: where the file ends (the next byte the handle writes).
  BufferedWriter(std::unique_ptr<File> file, uint64_t file_length);
  // Writes out the buffer, ignoring errors; closes the handle. No sync.
  ~BufferedWriter();
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  // Hands over one whole piece (see the contract above). Errors carry the
  // cause only.
  Status append(std::string_view piece);
  // Writes out everything in the buffer (no sync). On failure, what could
  // not be written stays in the buffer.
  Status write_out();
  // Held mode (see above). Lifting the hold writes nothing by itself.
  void set_hold(bool hold) { hold_ = hold; }
  bool held() const { return hold_; }
  // Drops every byte still waiting in the buffer.
  void discard() { buffer_.clear(); }

  // The file's identity (File::identity).
  Result<uint64_t> identity() { return file_->identity(); }
  // Forces the file to stable storage (does not write out the buffer).
  Status sync() { return file_->sync(); }

  // Bytes that reached the file (its length as far as this writer knows).
  uint64_t file_length() const { return file_length_; }
  // Bytes still waiting in the buffer.
  size_t buffered() const { return buffer_.size(); }
  // Where the next accepted byte will lie: file_length() + buffered().
  uint64_t end_offset() const { return file_length_ + buffer_.size(); }
  // Direct access to the waiting bytes (byte i lies at file_length() + i).
  char* buffer_data() { return buffer_.data(); }

  // Cuts the file back to `length` bytes (writing out the buffer first) and
  // syncs it: the one way a torn tail is cut off. Errors carry the step's
  // prefix: "flush failed: ", "truncate failed: ", "sync failed: ".
  Status cut_to(uint64_t length);

 private:
  // Writes `data` with write_some until done; advances file_length_ by what
  // was written and reports it in `written`.
  Status write_through(const char* data, size_t n, size_t& written);

  std::unique_ptr<File> file_;
  uint64_t file_length_;
  std::string buffer_;
  bool hold_ = false;
};

}  // namespace orvex::fs
