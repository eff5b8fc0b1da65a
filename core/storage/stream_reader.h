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
#include <functional>
#include <memory>

#include "../error.h"
#include "file.h"

namespace orvex::fs {

class StreamReader {
 public:
  // `start`: the file position the handle is at; `file_size`: the file's
  // length; `chunk`: the largest read buffer to use (a small file gets a
  // buffer of its own size, at least 64 bytes).
  StreamReader(File& file, uint64_t start, uint64_t file_size, size_t chunk)
      : file_(file),
        position_(start),
        file_size_(file_size),
        capacity_(static_cast<size_t>(std::clamp<uint64_t>(file_size > start ? file_size - start + 1 : 0, 64, chunk))),
        buffer_(new char[capacity_]) {}

  // `seen` receives every byte read from the file, once, in file order, as
  // it arrives (before it is consumed).
  void watch(std::function<void(const char*, size_t)> seen) { seen_ = std::move(seen); }

  // Offset in the file of the next unconsumed byte.
  uint64_t position() const { return position_; }
  // Bytes left by the size taken at the start (0 once past it).
  uint64_t remaining() const { return file_size_ > position_ ? file_size_ - position_ : 0; }
  size_t capacity() const { return capacity_; }

  // Makes up to n (<= capacity()) bytes available at data(); returns how many
  // are available, fewer than n only when the file ends first.
  Result<size_t> ensure(size_t n) {
    if (end_ - begin_ >= n) return n;
    if (begin_ > 0) {
      std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    while (end_ < n) {
      Result<size_t> got = file_.read(buffer_.get() + end_, capacity_ - end_);
      if (!got.ok()) return std::move(got).error();
      if (got.value() == 0) break;
      if (seen_) seen_(buffer_.get() + end_, got.value());
      end_ += got.value();
    }
    return std::min(n, end_);
  }
  const char* data() const { return buffer_.get() + begin_; }
  void consume(size_t n) {
    begin_ += n;
    position_ += n;
  }

  // Reads up to n bytes (any size) into dst; returns how many were read,
  // fewer than n only when the file ends first.
  Result<size_t> read_into(char* dst, size_t n) {
    if (n == 0) return size_t{0};
    size_t done = std::min(n, end_ - begin_);
    std::memcpy(dst, data(), done);
    consume(done);
    while (done < n) {
      size_t want = n - done;
      if (want < capacity_) {
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
        if (seen_) seen_(dst + done, got.value());
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
  size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  std::function<void(const char*, size_t)> seen_;
};

}  // namespace orvex::fs
