#include "mem_fs.h"

#include <algorithm>
#include <atomic>
#include <random>

namespace orvex::testing {
namespace {

// Inode numbers: unique in the process, so no file ever takes another's.
uint64_t fresh_ino() {
  static std::atomic<uint64_t> next{1};
  return next++;
}

std::string parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

template <class F>
Status MemFs::run(Call call, F&& perform) {
  std::unique_lock lock(mu_);
  OpRecord& rec = call.rec;
  ++counts_[static_cast<size_t>(rec.op)];
  for (auto& [f, seen] : rules_) {
    if (f.op != rec.op || rec.path.find(f.path_contains) == std::string::npos) continue;
    if (++seen != f.nth && !(f.persistent && seen > f.nth)) continue;
    ++fired_;
    if (rec.op == Op::Write && f.short_write && seen == f.nth) call.cut = f.short_write;
    (call.cut ? call.cut_error : rec.error) = f.error;
    break;
  }
  if (rec.error == 0) rec.error = perform(call);
  log_.push_back(rec);
  auto callback = call.changed ? on_change_ : nullptr;
  lock.unlock();
  if (callback) callback(rec);
  return rec.error == 0 ? ok_status() : Status(Error::io(os_error_text(rec.error)));
}

class MemFs::Handle final : public fs::File {
 public:
  Handle(MemFs& fs, std::string path, size_t node, fs::OpenMode mode) : fs_(fs), path_(path), node_(node), mode_(mode) {}

  Result<size_t> read(void* buf, size_t n) override {
    size_t got = 0;
    ORVEX_TRY(fs_.run({{Op::Read, path_, "", "", n}}, [&](Call&) {
      const std::string& data = fs_.nodes_[node_].data;
      got = pos_ < data.size() ? data.copy(static_cast<char*>(buf), n, pos_) : 0;
      return pos_ += got, 0;
    }));
    return got;
  }

  Result<size_t> write_some(const void* buf, size_t n) override {
    size_t put = 0;
    ORVEX_TRY(fs_.run({{Op::Write, path_, "", "", n}}, [&](Call& c) {
      if (mode_ == fs::OpenMode::ReadOnly) return EBADF;
      if (next_error_ != 0) return std::exchange(next_error_, 0);
      if ((put = c.cut ? std::min(n, *c.cut) : n) == 0) return c.cut_error;
      next_error_ = c.cut_error;
      if (mode_ == fs::OpenMode::ReadAppendCreate) pos_ = fs_.nodes_[node_].data.size();
      c.rec.bytes.assign(static_cast<const char*>(buf), put);
      change(fs_.nodes_[node_], {false, pos_, c.rec.bytes});
      return pos_ += put, c.changed = true, 0;
    }));
    return put;
  }

  Status seek(uint64_t offset) override {
    return fs_.run({{Op::Seek, path_, "", "", offset}}, [&](Call&) { return pos_ = offset, 0; });
  }

  Result<uint64_t> size() override {
    uint64_t size = 0;
    ORVEX_TRY(fs_.run({{Op::Size, path_}}, [&](Call&) { return size = fs_.nodes_[node_].data.size(), 0; }));
    return size;
  }

  Status sync() override {
    return fs_.run({{Op::Sync, path_}}, [&](Call& c) {
      Node& node = fs_.nodes_[node_];
      c.changed = !node.later.empty();
      node.synced = node.data;
      return node.later.clear(), 0;
    });
  }

  Result<uint64_t> identity() override {
    std::lock_guard lock(fs_.mu_);
    return fs_.nodes_[node_].ino;
  }

  Status truncate(uint64_t length) override {
    return fs_.run({{Op::Truncate, path_, "", "", length}}, [&](Call& c) {
      if (mode_ == fs::OpenMode::ReadOnly) return EBADF;
      change(fs_.nodes_[node_], {true, length, ""});
      return c.changed = true, 0;
    });
  }

  // Applies a change to `data`, a write's first `len` bytes only.
  static void put(std::string& data, const Change& c, size_t len) {
    if (c.truncate) return data.resize(c.at);
    data.resize(std::max<size_t>(data.size(), c.at + len), '\0');
    data.replace(c.at, len, c.bytes, 0, len);
  }
  static void change(Node& node, Change c) {
    put(node.data, c, c.bytes.size());
    node.later.push_back(std::move(c));
  }

 private:
  MemFs& fs_;
  const std::string path_;
  const size_t node_;
  const fs::OpenMode mode_;
  uint64_t pos_ = 0;
  int next_error_ = 0;  // armed by a short write
};

void MemFs::apply(Names& names, const Entry& e) {
  if (!e.from.empty()) names.erase(e.from);
  if (e.node) names[e.name] = e.node;
  if (!e.node) names.erase(e.name);
}

void MemFs::add_entry(Entry e) {
  apply(now_, e);
  later_[parent(e.name)].push_back(std::move(e));
}

Result<std::unique_ptr<fs::File>> MemFs::open(const std::string& path, fs::OpenMode mode) {
  size_t node = 0;
  ORVEX_TRY(run({{Op::Open, path, "", "", static_cast<uint64_t>(mode)}}, [&](Call& c) {
    const bool create = mode == fs::OpenMode::ReadAppendCreate || mode == fs::OpenMode::WriteCreateTruncate;
    if (!now_.count(path) && (!create || !now_.count(parent(path)))) return ENOENT;
    if (!now_.count(path)) add_entry({path, "", nodes_.size()}), nodes_.push_back({.ino = fresh_ino()}), c.changed = true;
    if ((node = now_[path]) == kDir) return EISDIR;
    const bool truncate = mode == fs::OpenMode::WriteCreateTruncate && !nodes_[node].data.empty();
    if (truncate) Handle::change(nodes_[node], {true, 0, ""}), c.changed = true;
    return 0;
  }));
  return std::unique_ptr<fs::File>(std::make_unique<Handle>(*this, path, node, mode));
}

bool MemFs::exists(const std::string& path) {
  std::lock_guard lock(mu_);
  return now_.count(path) != 0;
}

Status MemFs::create_dirs(const std::string& path) {
  return run({{Op::CreateDirs, path}}, [&](Call& c) {
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
      if (!now_.count(path.substr(0, at))) add_entry({path.substr(0, at), "", kDir}), c.changed = true;
      if (at == std::string::npos) return 0;
    }
  });
}

Status MemFs::rename(const std::string& from, const std::string& to) {
  return run({{Op::Rename, from, to}}, [&](Call& c) {
    if (!now_.count(from) || now_[from] == kDir || parent(from) != parent(to)) return ENOENT;
    add_entry({to, from, now_[from]});
    return c.changed = true, 0;
  });
}

Status MemFs::sync_dir(const std::string& path) {
  return run({{Op::SyncDir, path}}, [&](Call& c) {
    if (!now_.count(path) || now_[path] != kDir) return ENOENT;
    for (const Entry& e : later_[path]) apply(disk_, e), c.changed = true;
    return later_.erase(path), 0;
  });
}

Status MemFs::remove(const std::string& path) {
  return run({{Op::Remove, path}}, [&](Call& c) {
    if (!now_.count(path) || now_[path] == kDir) return ENOENT;
    add_entry({path, "", 0});
    return c.changed = true, 0;
  });
}

std::string MemFs::contents(const std::string& path) const {
  std::lock_guard lock(mu_);
  return now_.count(path) && now_.at(path) != kDir ? nodes_[now_.at(path)].data : "";
}

void MemFs::put(const std::string& path, std::string bytes) {
  std::lock_guard lock(mu_);
  for (std::string d = parent(path); !now_.count(d); d = parent(d)) now_[d] = disk_[d] = kDir;
  const uint64_t ino = now_.count(path) && now_[path] != kDir ? nodes_[now_[path]].ino : fresh_ino();
  now_[path] = disk_[path] = nodes_.size();
  nodes_.push_back({bytes, bytes, {}, ino});
}

size_t MemFs::fingerprint() const {
  std::lock_guard lock(mu_);
  std::string all;
  for (const auto& [path, node] : now_) all += path + '\0' + (node == kDir ? "/" : nodes_[node].data) + '\0';
  return std::hash<std::string>()(all);
}

std::unique_ptr<MemFs> MemFs::after_process_crash() const {
  std::lock_guard lock(mu_);
  auto out = std::make_unique<MemFs>();
  std::tie(out->nodes_, out->now_, out->disk_, out->later_) = std::tie(nodes_, now_, disk_, later_);
  return out;
}

std::unique_ptr<MemFs> MemFs::lose(const Keep& keep, const Tear& tear) const {
  Names names = disk_;
  for (const auto& [dir, entries] : later_) {
    for (size_t i = 0, n = keep(dir, entries.size()); i < n; ++i) apply(names, entries[i]);
  }
  auto out = std::make_unique<MemFs>();
  for (const auto& [path, index] : names) {  // a directory comes before what it holds
    const auto dir = out->now_.find(parent(path));
    if (dir == out->now_.end() || dir->second != kDir) continue;
    out->now_[path] = index == kDir ? kDir : out->nodes_.size();
    if (index == kDir) continue;
    std::string data = nodes_[index].synced;
    const std::vector<Change>& later = nodes_[index].later;
    for (size_t i = 0, n = keep(path, later.size()); i < n; ++i) {
      Handle::put(data, later[i], i + 1 == n ? tear(path, later[i].bytes.size()) : later[i].bytes.size());
    }
    out->nodes_.push_back({data, data, {}, nodes_[index].ino});
  }
  out->disk_ = out->now_;
  return out;
}

std::vector<std::unique_ptr<MemFs>> MemFs::after_power_loss(int mixes, uint64_t seed) const {
  std::lock_guard lock(mu_);
  std::vector<std::unique_ptr<MemFs>> out;
  auto add = [&](const Keep& keep, const Tear& tear) { out.push_back(lose(keep, tear)); };
  const Keep all = [](const std::string&, size_t n) { return n; };
  const Tear whole = [](const std::string&, size_t len) { return len; };
  add(all, whole);
  add([](const std::string&, size_t) { return size_t{0}; }, whole);
  for (const auto& [path, index] : now_) {
    const std::string& file = path;  // named: clang before 16 cannot capture a structured binding
    if (index == kDir || nodes_[index].later.empty()) continue;
    add([&](const std::string& p, size_t n) { return p == file || later_.count(p) ? n : 0; }, whole);
    const size_t len = nodes_[index].later.back().bytes.size();
    for (size_t cut : {size_t{1}, len / 2, len - 1}) {
      if (len > 1) add(all, [&](const std::string& p, size_t n) { return p == file ? cut : n; });
    }
  }
  std::mt19937_64 rng(seed);
  for (int m = 0; m < mixes; ++m) {
    add([&](const std::string&, size_t n) { return static_cast<size_t>(rng() % (n + 1)); },
        [&](const std::string&, size_t len) { return len > 1 && rng() % 2 ? 1 + rng() % (len - 1) : len; });
  }
  return out;
}

}  // namespace orvex::testing
