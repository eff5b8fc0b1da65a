// An in-memory FileSystem for the fuzz targets: files are strings, nothing
// touches the disk. Only what the readers and writers use is supported.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "storage/file.h"

namespace orvex::fuzz {

class MemFile final : public fs::File {
 public:
  MemFile(std::string& data, bool append) : data_(data), append_(append) {}
  Result<size_t> read(void* buf, size_t n) override {
    if (pos_ >= data_.size()) return size_t{0};
    size_t k = std::min(n, data_.size() - pos_);
    std::memcpy(buf, data_.data() + pos_, k);
    pos_ += k;
    return k;
  }
  Result<size_t> write_some(const void* buf, size_t n) override {
    if (append_) pos_ = data_.size();
    if (pos_ > data_.size()) data_.resize(pos_, '\0');
    data_.replace(pos_, std::min(n, data_.size() - pos_), static_cast<const char*>(buf), n);
    pos_ += n;
    return n;
  }
  Status seek(uint64_t offset) override {
    pos_ = offset;
    return ok_status();
  }
  Result<uint64_t> size() override { return uint64_t{data_.size()}; }
  Status sync() override { return ok_status(); }
  Status truncate(uint64_t length) override {
    data_.resize(length, '\0');
    return ok_status();
  }

 private:
  std::string& data_;
  bool append_;
  uint64_t pos_ = 0;
};

class MemFs final : public fs::FileSystem {
 public:
  std::map<std::string, std::string> files;

  Result<std::unique_ptr<fs::File>> open(const std::string& path, fs::OpenMode mode) override {
    auto it = files.find(path);
    const bool create = mode == fs::OpenMode::ReadAppendCreate || mode == fs::OpenMode::WriteCreateTruncate;
    if (it == files.end()) {
      if (!create) return Error::io(os_error_text(ENOENT));
      it = files.emplace(path, std::string()).first;
    }
    if (mode == fs::OpenMode::WriteCreateTruncate) it->second.clear();
    return std::unique_ptr<fs::File>(
        std::make_unique<MemFile>(it->second, mode == fs::OpenMode::ReadAppendCreate));
  }
  bool exists(const std::string& path) override { return files.count(path) != 0; }
  Status create_dirs(const std::string&) override { return ok_status(); }
  Status rename(const std::string& from, const std::string& to) override {
    auto node = files.extract(from);
    if (node.empty()) return Error::io(os_error_text(ENOENT));
    node.key() = to;
    files.insert_or_assign(to, std::move(node.mapped()));
    return ok_status();
  }
  Status sync_dir(const std::string&) override { return ok_status(); }
  Status remove(const std::string& path) override {
    return files.erase(path) ? ok_status() : Status(Error::io(os_error_text(ENOENT)));
  }
};

}  // namespace orvex::fuzz
