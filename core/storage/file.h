// The one file layer of the core. Every read, write, seek, truncate, sync,
// rename and directory operation of the storage and the collection goes
// through a FileSystem, so tests can swap in one that fails, cuts writes
// short, records what reached the disk, or ends the process at a chosen point.
//
// Errors: every failure is an Error::io whose text() is the cause alone (the
// system's message plus " (os error N)", or one of the fixed causes of
// error.h); callers prefix it with the name of their step.
//
// Thread-safety: a File is used by one thread at a time; a FileSystem may be
// shared between threads (the POSIX one has no state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "../error.h"

namespace orvex::fs {

enum class OpenMode {
  ReadOnly,             // O_RDONLY
  ReadAppendCreate,     // O_RDWR | O_APPEND | O_CREAT, mode 0666 less umask
  WriteOnly,            // O_WRONLY, no creation, no truncation
  WriteCreateTruncate,  // O_WRONLY | O_CREAT | O_TRUNC, mode 0666 less umask
};

class File {
 public:
  virtual ~File() = default;  // closes the handle, ignoring errors

  // Reads up to n bytes at the current position; 0 means end of file.
  virtual Result<size_t> read(void* buf, size_t n) = 0;
  // One write(2): writes up to n bytes at the current position (at the end
  // in append mode) and returns how many were written (> 0 when n > 0).
  virtual Result<size_t> write_some(const void* buf, size_t n) = 0;
  // Writes all n bytes, continuing after short writes; a write that makes
  // no progress fails with kWriteZero.
  Status write(const void* buf, size_t n);
  virtual Status seek(uint64_t offset) = 0;
  virtual Result<uint64_t> size() = 0;
  // Forces contents and metadata to stable storage (fsync).
  virtual Status sync() = 0;
  // Cuts (or extends) the file to `length` bytes.
  virtual Status truncate(uint64_t length) = 0;
  // What tells this file from any other on its file system while it exists
  // (the inode number): kept by a rename, new for a new file.
  virtual Result<uint64_t> identity() = 0;
};

// Held while a directory is in use; destroying it releases the lock.
class DirLock {
 public:
  virtual ~DirLock() = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) = 0;
  // Whether the file system can report on `path` (stat succeeds).
  virtual bool exists(const std::string& path) = 0;
  // Creates `path` and its missing parents, mode 0777 less umask.
  virtual Status create_dirs(const std::string& path) = 0;
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  // Forces a directory's entries (creations, renames) to stable storage.
  virtual Status sync_dir(const std::string& path) = 0;
  virtual Status remove(const std::string& path) = 0;
  // Reads a whole file.
  virtual Result<std::string> read_file(const std::string& path);
  // Takes an exclusive advisory lock on directory `path` itself (no file is
  // added to it) without waiting. A null lock means another holder has it:
  // another process, or another lock taken in this one. The default (for
  // file systems that cannot lock) grants every request.
  virtual Result<std::unique_ptr<DirLock>> lock_dir(const std::string& path);
};

// The real file system. Lives for the whole process.
FileSystem& posix();

// Reads exactly n bytes; a file that ends first fails with kUnexpectedEof.
Status read_exact(File& file, void* buf, size_t n);

// Replaces the file at `path` with `text` through `tmp_path` (written,
// synced, renamed over it; removed on failure): the file is always either
// the old or the new text. The directory is not synced.
Status replace_file(FileSystem& fs, const std::string& path, const std::string& tmp_path, std::string_view text);

// Joins a directory and a file name with one '/'.
std::string join(const std::string& dir, const std::string& name);

}  // namespace orvex::fs
