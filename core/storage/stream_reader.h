// Reads a file front to back through one handle and one chunk buffer, for
// the scans of the data file and the log.
//
// The reader knows the file's size as taken when the scan began, so callers
// can refuse a stated length larger than what is left before they reserve
// memory for it. Thread-safety: none; the File must outlive the reader.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../error.h"
#include "file.h"

namespace orvex::fs {

class StreamReader {
 public:
  // `start`: the file position the handle is at; `file_size`: the file's
  // length; `chunk`: the size of the read buffer.
  StreamReader(File& file, uint64_t start, uint64_t file_size, size_t chunk)
      : file_(file), position_(start), file_size_(file_size), buffer_(chunk) {}

  // Offset in the file of the next unconsumed byte.
  uint64_t position() const { return position_; }
  // Bytes left by the size taken at the start (0 once past it).
  uint64_t remaining() const { return file_size_ > position_ ? file_size_ - position_ : 0; }
  size_t capacity() const { return buffer_.size(); }

  // Makes up to n (<= capacity()) bytes available at data(); returns how many
  // are available, fewer than n only when the file ends first.
  Result<size_t> ensure(size_t n) {
    if (end_ - begin_ >= n) return n;
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    while (end_ < n) {
      Result<size_t> got = file_.read(buffer_.data() + end_, buffer_.size() - end_);
      if (!got.ok()) return std::move(got).error();
      if (got.value() == 0) break;
      end_ += got.value();
    }
    return std::min(n, end_);
  }
  const char* data() const { return buffer_.data() + begin_; }
  void consume(size_t n) {
    begin_ += n;
    position_ += n;
  }

  // Reads up to n bytes (any size) into dst; returns how many were read,
  // fewer than n only when the file ends first.
  Result<size_t> read_into(char* dst, size_t n) {
    size_t done = std::min(n, end_ - begin_);
    std::memcpy(dst, data(), done);
    consume(done);
    while (done < n) {
      size_t want = n - done;
      if (want < buffer_.size()) {
        Result<size_t> got = ensure(want);
        if (!got.ok()) return std::move(got).error();
        std::memcpy(dst + done, data(), got.value());
        consume(got.value());
        done += got.value();
        if (got.value() < want) break;
      } else {
        Result<size_t> got = file_.read(dst + done, want);
        if (!got.ok()) return std::move(got).error();
        if (got.value() == 0) break;
        done += got.value();
        position_ += got.value();
      }
    }
    return done;
  }

 private:
  File& file_;
  uint64_t position_;
  uint64_t file_size_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace orvex::fs
