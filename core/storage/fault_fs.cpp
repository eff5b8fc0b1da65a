#include "fault_fs.h"

#include <algorithm>
#include <utility>

namespace orvex::fs {

const char* op_name(Op op) {
  switch (op) {
    case Op::Open: return "open";
    case Op::Read: return "read";
    case Op::Write: return "write";
    case Op::Seek: return "seek";
    case Op::Size: return "size";
    case Op::Sync: return "sync";
    case Op::Truncate: return "truncate";
    case Op::Close: return "close";
    case Op::Exists: return "exists";
    case Op::CreateDirs: return "create_dirs";
    case Op::Rename: return "rename";
    case Op::SyncDir: return "sync_dir";
    case Op::Remove: return "remove";
  }
  return "?";
}

using Decision = FaultFs::Decision;

class FaultFile final : public File {
 public:
  FaultFile(FaultFs& fs, std::unique_ptr<File> base, std::string path, uint64_t handle)
      : fs_(fs), base_(std::move(base)), path_(std::move(path)), handle_(handle) {}

  ~FaultFile() override {
    OpRecord rec = begin(Op::Close);
    fs_.decide(rec);  // a close cannot fail; the hook still sees it
    base_.reset();
    fs_.finish(rec);
  }

  Result<size_t> read(void* buf, size_t n) override {
    OpRecord rec = begin(Op::Read);
    rec.arg = n;
    return fs_.call<size_t>(rec, [&](OpRecord&, const Decision&) { return base_->read(buf, n); });
  }

  Result<size_t> write_some(const void* buf, size_t n) override {
    OpRecord rec = begin(Op::Write);
    rec.arg = n;
    return fs_.call<size_t>(rec, [&](OpRecord& r, const Decision& d) -> Result<size_t> {
      if (pending_error_ != 0) {
        r.error = std::exchange(pending_error_, 0);
        return Error::io(os_error_text(r.error));
      }
      size_t want = n;
      if (d.cut) {
        want = std::min(n, *d.cut);
        if (want == 0) {
          r.error = d.cut_error;
          return Error::io(os_error_text(r.error));
        }
        pending_error_ = d.cut_error;
      }
      Result<size_t> put = base_->write_some(buf, want);
      if (put.ok() && fs_.recording_bytes()) r.bytes.assign(static_cast<const char*>(buf), put.value());
      return put;
    });
  }

  Status seek(uint64_t offset) override {
    OpRecord rec = begin(Op::Seek);
    rec.arg = offset;
    return fs_.call<void>(rec, [&](OpRecord&, const Decision&) { return base_->seek(offset); });
  }

  Result<uint64_t> size() override {
    OpRecord rec = begin(Op::Size);
    return fs_.call<uint64_t>(rec, [&](OpRecord&, const Decision&) { return base_->size(); });
  }

  Status sync() override {
    OpRecord rec = begin(Op::Sync);
    return fs_.call<void>(rec, [&](OpRecord&, const Decision&) { return base_->sync(); });
  }

  Status truncate(uint64_t length) override {
    OpRecord rec = begin(Op::Truncate);
    rec.arg = length;
    return fs_.call<void>(rec, [&](OpRecord&, const Decision&) { return base_->truncate(length); });
  }

 private:
  FaultFs& fs_;
  std::unique_ptr<File> base_;
  std::string path_;
  OpRecord begin(Op op) const;

  int pending_error_ = 0;  // armed by a short write
  uint64_t handle_;
};

OpRecord FaultFile::begin(Op op) const {
  OpRecord rec = FaultFs::begin(op, path_);
  rec.handle = handle_;
  return rec;
}

OpRecord FaultFs::begin(Op op, const std::string& path) {
  OpRecord rec;
  rec.op = op;
  rec.path = path;
  return rec;
}

FaultFs::Decision FaultFs::decide(OpRecord& rec) {
  Decision d;
  FsHook hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    rec.seq = seq_++;
    ++counts_[static_cast<size_t>(rec.op)];
    for (Rule& rule : rules_) {
      const Fault& f = rule.fault;
      if (f.op != rec.op) continue;
      if (!f.path_contains.empty() && rec.path.find(f.path_contains) == std::string::npos) continue;
      ++rule.seen;
      const bool hit = rule.seen == f.nth || (f.persistent && rule.seen > f.nth);
      if (!hit || d.inject != 0) continue;
      if (rec.op == Op::Write && f.short_write && rule.seen == f.nth) {
        d.cut = f.short_write;
        d.cut_error = f.error;
      } else {
        d.inject = f.error;
      }
    }
    hook = hook_;
  }
  if (hook) {
    int asked = hook(HookPoint::Before, rec);
    if (asked != 0 && d.inject == 0) d.inject = asked;
  }
  return d;
}

void FaultFs::finish(OpRecord& rec) {
  FsHook hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back(rec);
    hook = hook_;
  }
  if (hook) hook(HookPoint::After, rec);
}

bool FaultFs::recording_bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return record_bytes_;
}

void FaultFs::add_fault(Fault fault) {
  std::lock_guard<std::mutex> lock(mu_);
  rules_.push_back({std::move(fault), 0});
}

void FaultFs::clear_faults() {
  std::lock_guard<std::mutex> lock(mu_);
  rules_.clear();
}

void FaultFs::set_hook(FsHook hook) {
  std::lock_guard<std::mutex> lock(mu_);
  hook_ = std::move(hook);
}

void FaultFs::set_record_bytes(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  record_bytes_ = on;
}

std::vector<OpRecord> FaultFs::log() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

void FaultFs::clear_log() {
  std::lock_guard<std::mutex> lock(mu_);
  log_.clear();
}

uint64_t FaultFs::count(Op op) const {
  std::lock_guard<std::mutex> lock(mu_);
  return counts_[static_cast<size_t>(op)];
}

Result<std::unique_ptr<File>> FaultFs::open(const std::string& path, OpenMode mode) {
  OpRecord rec = begin(Op::Open, path);
  rec.arg = static_cast<uint64_t>(mode);
  Result<std::unique_ptr<File>> base =
      call<std::unique_ptr<File>>(rec, [&](OpRecord&, const Decision&) { return base_.open(path, mode); });
  if (!base.ok()) return std::move(base).error();
  return std::unique_ptr<File>(std::make_unique<FaultFile>(*this, std::move(base).value(), path, rec.seq + 1));
}

bool FaultFs::exists(const std::string& path) {
  OpRecord rec = begin(Op::Exists, path);
  Decision d = decide(rec);
  bool found = d.inject == 0 && base_.exists(path);
  rec.error = d.inject;
  finish(rec);
  return found;
}

Status FaultFs::create_dirs(const std::string& path) {
  OpRecord rec = begin(Op::CreateDirs, path);
  return call<void>(rec, [&](OpRecord&, const Decision&) { return base_.create_dirs(path); });
}

Status FaultFs::rename(const std::string& from, const std::string& to) {
  OpRecord rec = begin(Op::Rename, from);
  rec.target = to;
  return call<void>(rec, [&](OpRecord&, const Decision&) { return base_.rename(from, to); });
}

Status FaultFs::sync_dir(const std::string& path) {
  OpRecord rec = begin(Op::SyncDir, path);
  return call<void>(rec, [&](OpRecord&, const Decision&) { return base_.sync_dir(path); });
}

Status FaultFs::remove(const std::string& path) {
  OpRecord rec = begin(Op::Remove, path);
  return call<void>(rec, [&](OpRecord&, const Decision&) { return base_.remove(path); });
}

}  // namespace orvex::fs
