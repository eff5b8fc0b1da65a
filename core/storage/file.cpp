#include "file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace orvex::fs {
namespace {

constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";

Error os_error(int errnum) { return Error::io(os_error_text(errnum)); }

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  Result<size_t> read(void* buf, size_t n) override {
    for (;;) {
      ssize_t got = ::read(fd_, buf, n);
      if (got >= 0) return static_cast<size_t>(got);
      if (errno != EINTR) return os_error(errno);
    }
  }

  Result<size_t> write_some(const void* buf, size_t n) override {
    for (;;) {
      ssize_t put = ::write(fd_, buf, n);
      if (put >= 0) return static_cast<size_t>(put);
      if (errno != EINTR) return os_error(errno);
    }
  }

  Status seek(uint64_t offset) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return os_error(EINVAL);
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return os_error(errno);
    return ok_status();
  }

  Result<uint64_t> size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return os_error(errno);
    return static_cast<uint64_t>(st.st_size);
  }

  Result<uint64_t> identity() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return os_error(errno);
    return static_cast<uint64_t>(st.st_ino);
  }

  Status sync() override {
    for (;;) {
      if (::fsync(fd_) == 0) return ok_status();
      if (errno != EINTR) return os_error(errno);
    }
  }

  Status truncate(uint64_t length) override {
    if (length > static_cast<uint64_t>(INT64_MAX)) return os_error(EINVAL);
    for (;;) {
      if (::ftruncate(fd_, static_cast<off_t>(length)) == 0) return ok_status();
      if (errno != EINTR) return os_error(errno);
    }
  }

 private:
  int fd_;
};

int open_flags(OpenMode mode) {
  switch (mode) {
    case OpenMode::ReadOnly: return O_RDONLY;
    case OpenMode::ReadAppendCreate: return O_RDWR | O_APPEND | O_CREAT;
    case OpenMode::WriteOnly: return O_WRONLY;
    case OpenMode::WriteCreateTruncate: return O_WRONLY | O_CREAT | O_TRUNC;
  }
  return O_RDONLY;
}

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Runs a system call until it is not interrupted; its result, errno kept.
template <class Call>
auto retry(Call&& call) {
  decltype(call()) rc;
  do {
    rc = call();
  } while (rc < 0 && errno == EINTR);
  return rc;
}

// Opens a directory for syncing or locking: the fd, or -1 with errno set.
int open_dir(const std::string& path) {
  return retry([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
}

class PosixFileSystem final : public FileSystem {
 public:
  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    if (has_nul(path)) return Error::io(kNulInPath);
    int fd;
    do {
      fd = ::open(path.c_str(), open_flags(mode) | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_error(errno);
    try {
      return std::unique_ptr<File>(std::make_unique<PosixFile>(fd));
    } catch (const std::bad_alloc&) {
      ::close(fd);
      return os_error(ENOMEM);
    }
  }

  bool exists(const std::string& path) override {
    if (has_nul(path)) return false;
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }

  Status create_dirs(const std::string& path) override {
    if (has_nul(path)) return Error::io(kNulInPath);
    if (path.empty()) return os_error(ENOENT);
    // Create each missing ancestor in turn, from the root down.
    for (size_t pos = 1; pos <= path.size(); ++pos) {
      if (pos != path.size() && path[pos] != '/') continue;
      if (path[pos - 1] == '/') continue;
      std::string prefix = path.substr(0, pos);
      if (::mkdir(prefix.c_str(), 0777) == 0) continue;
      int err = errno;
      struct stat st;
      if (err == EEXIST && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      return os_error(err == EEXIST ? ENOTDIR : err);
    }
    return ok_status();
  }

  Status rename(const std::string& from, const std::string& to) override {
    if (has_nul(from) || has_nul(to)) return Error::io(kNulInPath);
    if (::rename(from.c_str(), to.c_str()) != 0) return os_error(errno);
    return ok_status();
  }

  Status sync_dir(const std::string& path) override {
    if (has_nul(path)) return Error::io(kNulInPath);
    const int fd = open_dir(path);
    if (fd < 0) return os_error(errno);
    const int rc = retry([&] { return ::fsync(fd); });
    int err = errno;
    ::close(fd);
    if (rc != 0) return os_error(err);
    return ok_status();
  }

  Status remove(const std::string& path) override {
    if (has_nul(path)) return Error::io(kNulInPath);
    if (::unlink(path.c_str()) != 0) return os_error(errno);
    return ok_status();
  }

  Result<std::unique_ptr<DirLock>> lock_dir(const std::string& path) override {
    if (has_nul(path)) return Error::io(kNulInPath);
    const int fd = open_dir(path);
    if (fd < 0) return os_error(errno);
    if (retry([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EWOULDBLOCK) return std::unique_ptr<DirLock>();
      return os_error(err);
    }
    try {
      return std::unique_ptr<DirLock>(std::make_unique<FlockedDir>(fd));
    } catch (const std::bad_alloc&) {
      ::close(fd);
      return os_error(ENOMEM);
    }
  }

 private:
  // The lock lives as long as the open directory handle (flock locks belong
  // to the open file description, so a second open in this process conflicts).
  class FlockedDir final : public DirLock {
   public:
    explicit FlockedDir(int fd) : fd_(fd) {}
    ~FlockedDir() override { ::close(fd_); }

   private:
    int fd_;
  };
};

}  // namespace

Status File::write(const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    Result<size_t> put = write_some(p, n);
    if (!put.ok()) return std::move(put).error();
    if (put.value() == 0) return Error::io(kWriteZero);
    p += put.value();
    n -= put.value();
  }
  return ok_status();
}

Result<std::string> FileSystem::read_file(const std::string& path) {
  Result<std::unique_ptr<File>> opened = open(path, OpenMode::ReadOnly);
  if (!opened.ok()) return std::move(opened).error();
  File& file = *opened.value();
  try {
    std::string out;
    // The size is only a hint: read until the end of the file.
    Result<uint64_t> size = file.size();
    if (size.ok() && size.value() < (uint64_t{1} << 30)) out.reserve(size.value());
    char chunk[65536];
    for (;;) {
      Result<size_t> got = file.read(chunk, sizeof chunk);
      if (!got.ok()) return std::move(got).error();
      if (got.value() == 0) return out;
      out.append(chunk, got.value());
    }
  } catch (const std::bad_alloc&) {
    return os_error(ENOMEM);
  }
}

Result<std::unique_ptr<DirLock>> FileSystem::lock_dir(const std::string&) {
  try {
    return std::make_unique<DirLock>();
  } catch (const std::bad_alloc&) {
    return os_error(ENOMEM);
  }
}

FileSystem& posix() {
  static PosixFileSystem instance;
  return instance;
}

Status read_exact(File& file, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    Result<size_t> got = file.read(p, n);
    if (!got.ok()) return std::move(got).error();
    if (got.value() == 0) return Error::io(kUnexpectedEof);
    p += got.value();
    n -= got.value();
  }
  return ok_status();
}

Status replace_file(FileSystem& fs, const std::string& path, const std::string& tmp_path, std::string_view text) {
  auto fail = [&](const Error& e) {
    if (fs.exists(tmp_path)) (void)fs.remove(tmp_path);
    return e;
  };
  {
    Result<std::unique_ptr<File>> file = fs.open(tmp_path, OpenMode::WriteCreateTruncate);
    if (!file.ok()) return fail(file.error());
    if (auto s = (*file)->write(text.data(), text.size()); !s.ok()) return fail(s.error());
    if (auto s = (*file)->sync(); !s.ok()) return fail(s.error());
  }
  if (auto s = fs.rename(tmp_path, path); !s.ok()) return fail(s.error());
  return ok_status();
}

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace orvex::fs
