#include "buffered_writer.h"

#include <cerrno>
#include <new>

namespace orvex::fs {

BufferedWriter::BufferedWriter(std::unique_ptr<File> file, uint64_t file_length)
    : file_(std::move(file)), file_length_(file_length) {
  buffer_.reserve(kCapacity);
}

BufferedWriter::~BufferedWriter() { (void)write_out(); }

Status BufferedWriter::write_through(const char* data, size_t n, size_t& written) {
  written = 0;
  while (written < n) {
    Result<size_t> put = file_->write_some(data + written, n - written);
    if (!put.ok()) return std::move(put).error();
    if (put.value() == 0) return Error::io(kWriteZero);
    written += put.value();
    file_length_ += put.value();
  }
  return ok_status();
}

Status BufferedWriter::write_out() {
  if (buffer_.empty()) return ok_status();
  size_t written = 0;
  Status st = write_through(buffer_.data(), buffer_.size(), written);
  // What reached the file leaves the buffer; the rest waits for next time.
  buffer_.erase(0, written);
  if (!st.ok() && st.error().text() == kWriteZero) {
    return Error::io("failed to write the buffered data");
  }
  return st;
}

Status BufferedWriter::append(std::string_view piece) {
  if (hold_) {
    // Nothing may reach the file yet: the piece waits whole in the buffer
    // (which may grow; a failed growth leaves the buffer as it was).
    try {
      buffer_.append(piece);
    } catch (const std::bad_alloc&) {
      return Error::io("out of memory");
    }
    return ok_status();
  }
  if (buffer_.size() + piece.size() > kCapacity && !buffer_.empty()) {
    // The new piece is not touched if this fails: it is refused whole.
    ORVEX_TRY(write_out());
  }
  if (piece.size() >= kCapacity) {
    size_t written = 0;
    Status st = write_through(piece.data(), piece.size(), written);
    if (st.ok() || written == 0) return st;
    // Part of the piece reached the file: it is accepted, and its rest waits
    // in the buffer so that it lands before anything handed over later.
    try {
      buffer_.assign(piece.substr(written));
    } catch (const std::bad_alloc&) {
      // Cannot keep the rest: take the written part back off the file.
      if (file_->truncate(file_length_ - written).ok()) file_length_ -= written;
      return st;
    }
    return ok_status();
  }
  buffer_.append(piece);  // fits: capacity was reserved
  return ok_status();
}

}  // namespace orvex::fs

namespace orvex::fs {

Status BufferedWriter::cut_to(uint64_t length) {
  if (length > end_offset()) {
    return Error::io("truncate failed: offset " + std::to_string(length) + " is beyond the end of the file (" +
                     std::to_string(end_offset()) + " bytes)");
  }
  Status st = write_out();
  if (!st.ok()) return Error::io("flush failed: " + st.error().text());
  st = file_->truncate(length);
  if (!st.ok()) return Error::io("truncate failed: " + st.error().text());
  file_length_ = length;
  st = file_->sync();
  if (!st.ok()) return Error::io("sync failed: " + st.error().text());
  return ok_status();
}

}  // namespace orvex::fs
