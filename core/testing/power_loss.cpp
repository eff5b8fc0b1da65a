#include "power_loss.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

namespace orvex::testing {

using fs::Op;
using fs::OpenMode;

void DiskState::materialize(const std::string& dir) const {
  for (const std::string& d : dirs) ::mkdir((dir + "/" + d).c_str(), 0777);
  for (const auto& [path, data] : files) {
    std::ofstream out(dir + "/" + path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
  }
}

std::string PowerLossModel::rel(const std::string& path) const {
  if (path == root_) return "";
  if (path.size() > root_.size() && path.compare(0, root_.size(), root_) == 0 && path[root_.size()] == '/') {
    return path.substr(root_.size() + 1);
  }
  return path;
}

std::string PowerLossModel::parent(const std::string& rel_path) {
  size_t slash = rel_path.rfind('/');
  return slash == std::string::npos ? "" : rel_path.substr(0, slash);
}

void PowerLossModel::Names::apply(const DirChange& c) {
  switch (c.kind) {
    case DirChange::Kind::Create: files[c.path] = c.inode; break;
    case DirChange::Kind::Mkdir: dirs.insert(c.path); break;
    case DirChange::Kind::Rename: {
      auto it = files.find(c.path);
      if (it == files.end()) break;
      files[c.target] = it->second;
      files.erase(c.path);
      break;
    }
    case DirChange::Kind::Remove: files.erase(c.path); break;
  }
}

void PowerLossModel::put(std::string& data, const Change& c, size_t cut) {
  if (c.truncate) {
    data.resize(c.offset);
    return;
  }
  const size_t n = std::min(cut, c.bytes.size());
  if (data.size() < c.offset + n) data.resize(c.offset + n, '\0');
  data.replace(c.offset, n, c.bytes, 0, n);
}

bool PowerLossModel::changes_disk(const fs::OpRecord& rec) {
  if (rec.error != 0) return false;
  switch (rec.op) {
    case Op::Write: case Op::Sync: case Op::Truncate: case Op::Rename: case Op::SyncDir:
    case Op::CreateDirs: case Op::Remove:
      return true;
    case Op::Open:
      return rec.arg == static_cast<uint64_t>(OpenMode::ReadAppendCreate) ||
             rec.arg == static_cast<uint64_t>(OpenMode::WriteCreateTruncate);
    default:
      return false;
  }
}

void PowerLossModel::apply(const fs::OpRecord& rec) {
  if (rec.error != 0) return;
  const std::string path = rel(rec.path);
  switch (rec.op) {
    case Op::Open: {
      const auto mode = static_cast<OpenMode>(rec.arg);
      auto it = current_.files.find(path);
      size_t inode;
      if (it == current_.files.end()) {
        if (mode != OpenMode::ReadAppendCreate && mode != OpenMode::WriteCreateTruncate) return;
        inode = inodes_.size();
        inodes_.emplace_back();
        DirChange c{DirChange::Kind::Create, path, "", inode};
        current_.apply(c);
        dir_pending_[parent(path)].push_back(c);
      } else {
        inode = it->second;
        if (mode == OpenMode::WriteCreateTruncate && !inodes_[inode].current.empty()) {
          Change t{true, 0, {}};
          put(inodes_[inode].current, t, 0);
          inodes_[inode].pending.push_back(t);
        }
      }
      handles_[rec.seq + 1] = Handle{inode, mode == OpenMode::ReadAppendCreate, 0};
      break;
    }
    case Op::Close: handles_.erase(rec.handle); break;
    case Op::Seek: {
      auto h = handles_.find(rec.handle);
      if (h != handles_.end()) h->second.pos = rec.arg;
      break;
    }
    case Op::Read: break;  // positions of read handles do not matter
    case Op::Write: {
      auto h = handles_.find(rec.handle);
      if (h == handles_.end() || rec.bytes.empty()) break;
      Inode& node = inodes_[h->second.inode];
      Change w{false, h->second.append ? node.current.size() : h->second.pos, rec.bytes};
      put(node.current, w, w.bytes.size());
      node.pending.push_back(std::move(w));
      h->second.pos = node.pending.back().offset + rec.bytes.size();
      break;
    }
    case Op::Truncate: {
      auto h = handles_.find(rec.handle);
      if (h == handles_.end()) break;
      Inode& node = inodes_[h->second.inode];
      Change t{true, rec.arg, {}};
      put(node.current, t, 0);
      node.pending.push_back(t);
      break;
    }
    case Op::Sync: {
      auto h = handles_.find(rec.handle);
      if (h == handles_.end()) break;
      Inode& node = inodes_[h->second.inode];
      node.synced = node.current;
      node.pending.clear();
      break;
    }
    case Op::CreateDirs: {
      // Creates the missing directories from the top down.
      std::vector<std::string> missing;
      for (std::string p = path; !p.empty() && !current_.dirs.count(p); p = parent(p)) missing.push_back(p);
      for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        DirChange c{DirChange::Kind::Mkdir, *it, "", 0};
        current_.apply(c);
        dir_pending_[parent(*it)].push_back(c);
      }
      break;
    }
    case Op::Rename: {
      DirChange c{DirChange::Kind::Rename, path, rel(rec.target), 0};
      current_.apply(c);
      dir_pending_[parent(path)].push_back(c);
      break;
    }
    case Op::Remove: {
      DirChange c{DirChange::Kind::Remove, path, "", 0};
      current_.apply(c);
      dir_pending_[parent(path)].push_back(c);
      break;
    }
    case Op::SyncDir: {
      auto it = dir_pending_.find(path);
      if (it == dir_pending_.end()) break;
      for (const DirChange& c : it->second) synced_.apply(c);
      dir_pending_.erase(it);
      break;
    }
    default: break;
  }
}

template <class Choose, class Cut>
DiskState PowerLossModel::build(Choose&& choose, Cut&& cut) const {
  Names names = synced_;
  for (const auto& [dir, changes] : dir_pending_) {
    const size_t n = choose(changes.size());
    for (size_t i = 0; i < n; ++i) names.apply(changes[i]);
  }
  DiskState state;
  // A directory exists when it and every directory above it exist.
  auto reachable = [&](const std::string& p) {
    for (std::string d = parent(p); !d.empty(); d = parent(d)) {
      if (!names.dirs.count(d)) return false;
    }
    return true;
  };
  for (const std::string& d : names.dirs) {
    if (reachable(d)) state.dirs.insert(d);
  }
  for (const auto& [path, inode] : names.files) {
    if (!reachable(path)) continue;
    const Inode& node = inodes_[inode];
    std::string data = node.synced;
    const size_t n = choose(node.pending.size());
    for (size_t i = 0; i < n; ++i) {
      const Change& c = node.pending[i];
      put(data, c, i + 1 == n && !c.truncate ? cut(c.bytes.size()) : c.bytes.size());
    }
    state.files[path] = std::move(data);
  }
  return state;
}

DiskState PowerLossModel::everything() const {
  return build([](size_t n) { return n; }, [](size_t len) { return len; });
}

DiskState PowerLossModel::synced_only() const {
  return build([](size_t) { return size_t{0}; }, [](size_t len) { return len; });
}

DiskState PowerLossModel::sample(std::mt19937_64& rng) const {
  return build([&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(rng() % (n + 1)); },
               [&](size_t len) {
                 if (len < 2 || rng() % 2 == 0) return len;
                 ++torn_;
                 return static_cast<size_t>(1 + rng() % (len - 1));
               });
}

std::vector<DiskState> PowerLossModel::torn_tails() const {
  std::vector<DiskState> out;
  const DiskState all = everything();
  Names names = synced_;
  for (const auto& [dir, changes] : dir_pending_) {
    for (const DirChange& c : changes) names.apply(c);
  }
  for (const auto& [path, inode] : names.files) {
    if (!all.files.count(path)) continue;
    const Inode& node = inodes_[inode];
    if (node.pending.empty() || node.pending.back().truncate || node.pending.back().bytes.size() < 2) continue;
    const size_t len = node.pending.back().bytes.size();
    for (size_t cut : {size_t{1}, len / 2, len - 1}) {
      DiskState state = all;
      std::string data = node.synced;
      for (size_t i = 0; i + 1 < node.pending.size(); ++i) put(data, node.pending[i], node.pending[i].bytes.size());
      put(data, node.pending.back(), cut);
      state.files[path] = std::move(data);
      ++torn_;
      out.push_back(std::move(state));
    }
  }
  return out;
}

size_t PowerLossModel::pending() const {
  size_t n = 0;
  for (const Inode& node : inodes_) n += node.pending.size();
  for (const auto& [dir, changes] : dir_pending_) n += changes.size();
  return n;
}

}  // namespace orvex::testing
