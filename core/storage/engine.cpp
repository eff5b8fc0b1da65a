#include "engine.h"

#include <cerrno>

#include <algorithm>
#include <utility>

#include "../parallel.h"
#include "damage.h"
#include "files.h"
#include "meta_file.h"

namespace orvex {
namespace {

using namespace files;

// Waiting records go out in runs of at least this many bytes once the log is
// synced, and force the log once this many more wait (see engine.h).
constexpr size_t kWriteOutBytes = size_t{1} << 20;
constexpr size_t kMaxHeldBytes = size_t{4} << 20;

// A batch is logged in runs of about this many bytes of frames, one run per
// encoding thread: each run is one write of at least 1 MiB.
constexpr size_t kRunBytes = size_t{4} << 20;
// With threads = 0, a batch whose frames come to at least this many bytes is
// encoded on every core (below it, starting threads costs more than it saves).
constexpr size_t kParallelBytes = size_t{1} << 20;

// The directory that holds `path` ("." for a bare name, "/" at the root).
std::string parent_dir(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  path.resize(slash);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Reads the meta.json at `path` and checks it against the settings.
Status check_meta(fs::FileSystem& fs, const std::string& path, const StorageSettings& settings) {
  auto text = fs.read_file(path);
  if (!text.ok()) return Error::collection("read meta failed: " + text.error().text());
  if (!is_valid_utf8(*text)) return Error::collection("read meta failed: stream did not contain valid UTF-8");
  auto meta = parse_meta(*text);
  if (!meta.ok()) return Error::collection("parse meta failed: " + meta.error().text());
  if (meta->dimension != settings.dimension) {
    return Error::collection("dimension mismatch: collection has " + std::to_string(meta->dimension) +
                             ", config has " + std::to_string(settings.dimension));
  }
  return ok_status();
}

}  // namespace

StorageEngine::StorageEngine(fs::FileSystem& fs, std::string dir, const StorageSettings& settings,
                             std::unique_ptr<fs::DirLock> lock, std::unique_ptr<Wal> wal,
                             std::unique_ptr<DataFile> data, std::vector<std::string> created_dirs)
    : fs_(fs),
      dir_(std::move(dir)),
      settings_(settings),
      lock_(std::move(lock)),
      wal_(std::move(wal)),
      data_(std::move(data)),
      created_dirs_(std::move(created_dirs)) {
  data_->set_hold(true);
}

StorageEngine::~StorageEngine() {
  // Waiting records go out only behind a forced log; the data file's
  // destructor writes out what is left.
  if (data_->buffered_bytes() == 0) return;
  if (wal_->unsynced_entries() > 0 && !wal_->sync().ok()) data_->discard_buffer();
}

Result<std::unique_ptr<StorageEngine>> StorageEngine::open(fs::FileSystem& fs, const std::string& dir,
                                                           const StorageSettings& settings, bool* existing) {
  if (!fs.exists(dir)) {
    if (auto s = fs.create_dirs(dir); !s.ok()) return Error::collection("create dir failed: " + s.error().text());
  }
  auto lock = fs.lock_dir(dir);
  if (!lock.ok()) {
    // A path that names no directory reads as it always did: the log
    // cannot be opened inside it.
    if (lock.error().text() == os_error_text(ENOTDIR)) {
      return Error::io("failed to open WAL: " + lock.error().text());
    }
    return Error::collection("lock failed: " + lock.error().text());
  }
  if (!*lock) {
    return Error::collection(kInUse);
  }

  const std::string meta_path = fs::join(dir, kMeta);
  *existing = fs.exists(meta_path);
  // A new collection makes the entry of its directory, and of each of its
  // ancestors, durable in their parents with its first meta.json: a failed
  // earlier creation may have made any of them without syncing it.
  std::vector<std::string> unsynced_dirs;
  for (std::string p = dir; !*existing;) {
    unsynced_dirs.push_back(p);
    std::string up = parent_dir(p);
    if (up == p) break;
    p = std::move(up);
  }
  if (*existing) ORVEX_TRY(check_meta(fs, meta_path, settings));

  auto wal = Wal::open(fs, fs::join(dir, kWal), settings.log_sync_every);
  if (!wal.ok()) return std::move(wal).error();
  auto data = DataFile::open(fs, fs::join(dir, kData));
  if (!data.ok()) return std::move(data).error();
  // A compaction that a crash stopped before its rename left only garbage.
  for (const char* name : {kCompactTemp, kSumsTemp}) {
    const std::string stale = fs::join(dir, name);
    if (fs.exists(stale)) (void)fs.remove(stale);
  }
  std::unique_ptr<StorageEngine> engine(new StorageEngine(fs, dir, settings, std::move(*lock), std::move(*wal),
                                                          std::move(*data), std::move(unsynced_dirs)));
  engine->sum_file_ = read_sum_file(fs, dir);
  return engine;
}

Status StorageEngine::recover(RecoveryVisitor& visitor) {
  auto read = Wal::read_all(fs_, fs::join(dir_, kWal));
  if (!read.ok()) return std::move(read).error();
  ORVEX_TRY(cut_unfinished_bulk(read->entries));
  const LogIndex log(read->entries);
  auto checked = check_data(*data_, sum_file_, log, [&](DataRecord& rec) { visitor.on_record(rec); }, false);
  if (!checked.ok()) return std::move(checked).error();
  // Damage refuses the opening before anything is changed.
  if (checked->state == SumState::Damaged || checked->damage_at) return checked->error();
  records_ = checked->records;
  deleted_ = std::move(checked->deleted);
  // Whatever follows the last whole record (past what the sums vouch for) is
  // the torn end of an interrupted write: cut it off before anything is
  // appended behind it.
  if (checked->end < data_->offset()) ORVEX_TRY(data_->cut_to(checked->end));
  data_->set_sums(std::move(checked->sums));

  if (read->end_offset < wal_->length()) ORVEX_TRY(wal_->cut_to(read->end_offset));
  // An empty log (a new collection's, or one a crash emptied) starts a
  // generation, so that readers can follow it.
  ORVEX_TRY(wal_->start_generation());
  // The log as read may sit only in the operating system's cache (the last
  // process may have died before its next sync): force it before records
  // that it describes are appended.
  if (!read->entries.empty()) ORVEX_TRY(wal_->sync());
  visitor.before_entries(read->entries);
  replaying_ = true;
  for (WalEntry& entry : read->entries) {
    Status applied = visitor.on_entry(entry);
    if (!applied.ok()) {
      replaying_ = false;
      return applied;
    }
    entry.vector = {};  // applied: the data now lives with the visitor
  }
  replaying_ = false;

  // Records that replay superseded are retired once their successors are on
  // stable storage, so the data file keeps one live record per id across
  // reopenings. A failure of the data file here is kept for the next
  // checkpoint to report; the log still describes everything.
  if (superseded_.empty()) {
    (void)data_->write_out();
    return ok_status();
  }
  if (auto s = data_->sync(); !s.ok()) {
    data_sync_failure_ = s.error();
    return ok_status();
  }
  return mark_superseded();
}

Status StorageEngine::cut_unfinished_bulk(std::span<const WalEntry> entries) {
  // What current sums vouch for was synced whole: any damage there is for
  // the sums to find, never a reason to cut.
  uint64_t vouched = 0;
  if (sum_file_ && sum_file_->ok()) {
    Result<uint64_t> identity = data_->identity();
    if (identity.ok() && *identity == sum_file_->value().identity) vouched = sum_file_->value().covered;
  }
  for (const WalEntry& e : entries) {
    const std::optional<BulkChunk> chunk = BulkChunk::of(e);
    if (!chunk || chunk->offset + chunk->bytes <= vouched) continue;
    // The chunk was never begun: nothing of it, or after it, reached the file.
    if (chunk->offset >= data_->offset()) return ok_status();
    auto crc = data_->records_crc32c(chunk->offset, chunk->bytes);
    if (!crc.ok()) return std::move(crc).error();
    if (*crc == chunk->crc) continue;
    // The unfinished end of an interrupted bulk batch.
    return data_->cut_to(chunk->offset);
  }
  return ok_status();
}

Status StorageEngine::append_bulk(
    const Batch& b, uint64_t chunk_bytes,
    const std::function<Status(size_t begin, size_t end, std::span<const uint64_t> offsets)>& applied) {
  if (data_lost_) return *data_lost_;
  ORVEX_TRY(checkpoint());
  static const Payload kNoPayload;
  std::vector<uint64_t> offsets;
  Status result = ok_status();
  for (size_t begin = 0, n = b.ids.size(); begin < n && result.ok();) {
    // A chunk: records wait in the held buffer (empty now) until its entry
    // is durable.
    const uint64_t start = data_->offset();
    BlockSums sums_before = data_->sums();
    offsets.clear();
    size_t end = begin;
    for (; end < n && data_->buffered_bytes() < chunk_bytes; ++end) {
      const std::span<const float> row = b.rows.subspan(end * b.dimension, b.dimension);
      const Payload& payload = b.payloads.empty() ? kNoPayload : b.payloads[end];
      result = Wal::check_entry(row, payload);
      if (!result.ok()) break;
      auto appended = data_->append(b.ids[end], row, payload);
      if (!appended.ok()) {
        result = std::move(appended).error();
        break;
      }
      offsets.push_back(*appended);
    }
    if (end == begin) break;
    const BulkChunk chunk{start, data_->buffered_bytes(), data_->waiting_crc32c()};
    Status logged = wal_->append(WalEntryKind::Checkpoint, 0, {}, chunk.entry());
    if (logged.ok()) logged = wal_->sync();
    if (!logged.ok()) {
      // No durable frame describes the chunk: it must not reach the file.
      data_->discard_buffer();
      data_->set_sums(std::move(sums_before));
      return logged;
    }
    // From here the chunk is the file's: whole at the next open, or cut
    // there with what follows it. What a failed write leaves waiting goes
    // out with the next write, so the chunk is applied either way. The
    // chunk goes to the file on a second thread while its items go into the
    // index here: the one reads only the data file's buffer, the other only
    // the batch.
    records_ += end - begin;
    Status written = ok_status(), done = ok_status();
    parallel_for(2, 2, [&](size_t part, size_t, size_t) {
      if (part == 0) {
        try {
          done = applied(begin, end, offsets);
        } catch (const std::bad_alloc&) {
          done = Error::io("out of memory");
        }
        return;
      }
      try {
        written = data_->write_out();
      } catch (const std::bad_alloc&) {
        written = Error::io("flush failed: " + os_error_text(ENOMEM));
      }
    });
    if (!done.ok()) return done;
    if (!written.ok()) return written;
    begin = end;
  }
  Status closed = checkpoint();
  return result.ok() ? closed : result;
}

Status StorageEngine::append(WalEntryKind kind, uint64_t id, std::span<const float> vector, const Payload& payload,
                             bool log, std::optional<uint64_t>* offset) {
  offset->reset();
  if (data_lost_) return *data_lost_;
  if (log) ORVEX_TRY(wal_->append(kind, id, vector, payload));
  if (kind == WalEntryKind::Delete) return ok_status();
  auto appended = data_->append(id, vector, payload);
  if (!appended.ok()) return std::move(appended).error();
  *offset = *appended;
  ++records_;
  Status released = release_records();
  return replaying_ ? ok_status() : released;
}

Status StorageEngine::append_batch(
    const Batch& b, size_t threads,
    const std::function<Status(size_t begin, size_t end, std::span<const uint64_t> offsets)>& applied) {
  if (data_lost_) return *data_lost_;
  const size_t n = b.ids.size();
  const bool records = b.kind != WalEntryKind::Delete && b.kind != WalEntryKind::Checkpoint;
  const auto row = [&](size_t i) {
    return records ? b.rows.subspan(i * b.dimension, b.dimension) : std::span<const float>();
  };
  static const Payload kNoPayload;
  const auto payload = [&](size_t i) -> const Payload& { return b.payloads.empty() ? kNoPayload : b.payloads[i]; };

  // A frame's text takes about 12 bytes a component: enough to size runs.
  const size_t frame_guess = 96 + (records ? 12 * b.dimension : 0);
  const size_t per_run = std::max<size_t>(1, kRunBytes / frame_guess);
  size_t parts = threads > 0 ? threads : (n >= kParallelBytes / frame_guess ? resolve_threads(0) : 1);
  parts = std::max<size_t>(1, std::min(parts, (n + per_run - 1) / per_run));
  try {
    runs_.resize(parts);
  } catch (const std::bad_alloc&) {
    return Error::io("out of memory");
  }
  std::vector<std::optional<Error>> refused(parts);
  std::vector<uint64_t> offsets;
  Status result = ok_status();
  for (size_t begin = 0; begin < n && result.ok();) {
    const size_t stretch = std::min(n - begin, per_run * parts);
    // Part t encodes its contiguous range of the stretch into runs_[t].
    const size_t used = parallel_parts(stretch, parts);
    parallel_for(stretch, parts, [&](size_t t, size_t lo, size_t hi) {
      FrameRun& run = runs_[t];
      run.clear();
      refused[t].reset();
      for (size_t i = begin + lo, end = begin + hi; i < end; ++i) {
        Status st = Wal::encode(b.kind, b.ids[i], row(i), payload(i), run);
        if (!st.ok()) {
          refused[t] = std::move(st).error();
          break;
        }
      }
    });
    // The runs go to the log in item order; the batch ends at the first
    // refused run or unencodable item.
    size_t end = begin;
    for (size_t t = 0; t < used && result.ok(); ++t) {
      result = wal_->append_run(runs_[t]);
      if (!result.ok()) break;
      end += runs_[t].entries;
      if (refused[t]) result = *refused[t];
    }
    offsets.clear();
    for (size_t i = begin; records && i < end; ++i) {
      auto appended = data_->append(b.ids[i], row(i), payload(i));
      if (!appended.ok()) {
        // Logged, not appended: the next open replays it.
        if (result.ok()) result = std::move(appended).error();
        end = i;
        break;
      }
      offsets.push_back(*appended);
      ++records_;
      Status released = release_records();
      if (!released.ok()) {
        // Appended and applied, as for a single change; the batch stops.
        if (result.ok()) result = released;
        end = i + 1;
        break;
      }
    }
    if (end > begin) {
      Status done = applied(begin, end, offsets);
      if (!done.ok() && result.ok()) result = done;
    }
    begin = end;
  }
  if (wal_->sync_every() != 0 && wal_->unsynced_entries() > 0) {
    Status synced = wal_->sync();
    if (result.ok()) result = synced;
  }
  return result;
}

Status StorageEngine::release_records() {
  const size_t waiting = data_->buffered_bytes();
  if (waiting < kWriteOutBytes) return ok_status();
  if (wal_->unsynced_entries() > 0) {
    if (waiting < kMaxHeldBytes) return ok_status();
    ORVEX_TRY(wal_->sync());
  }
  return data_->write_out();
}

Status StorageEngine::mark_deleted(uint64_t offset) {
  if (data_lost_) return *data_lost_;
  ORVEX_TRY(data_->mark_deleted(offset));
  deleted_.push_back(offset);
  return ok_status();
}

void StorageEngine::supersede(uint64_t offset) { superseded_.push_back(offset); }

Status StorageEngine::mark_superseded() {
  // One handle for all of them. After a failure every mark is kept for the
  // next checkpoint (marking a record twice is harmless).
  ORVEX_TRY(data_->mark_deleted_many(superseded_));
  deleted_.insert(deleted_.end(), superseded_.begin(), superseded_.end());
  superseded_.clear();
  return ok_status();
}

Status StorageEngine::checkpoint() {
  if (data_sync_failure_) return *data_sync_failure_;
  // The log first: the data file must not hold a record whose frame is not
  // durable.
  if (wal_->unsynced_entries() > 0) ORVEX_TRY(wal_->sync());
  if (auto s = data_->write_out(); !s.ok()) {
    data_sync_failure_ = s.error();
    return s;
  }
  // Every successor is written out now; the marks and the records reach
  // stable storage in one sync, before the log that still describes them is
  // emptied.
  ORVEX_TRY(mark_superseded());
  if (auto s = data_->sync(); !s.ok()) {
    data_sync_failure_ = s.error();
    return s;
  }
  // The sums vouch for synced bytes only, and the log is emptied only once
  // they do.
  ORVEX_TRY(write_sums());
  return wal_->checkpoint();
}

Status StorageEngine::write_sums() {
  Result<uint64_t> identity = data_->identity();
  if (!identity.ok()) return Error::io("write checksums failed: " + identity.error().text());
  SumFile sums;
  sums.identity = *identity;
  sums.covered = data_->offset();
  sums.blocks = data_->sums().sums(sums.covered);
  std::sort(deleted_.begin(), deleted_.end());
  deleted_.erase(std::unique(deleted_.begin(), deleted_.end()), deleted_.end());
  sums.deleted = deleted_;
  // Durable before the log is emptied: every record after the covered
  // length then has its entry in the log.
  Status s = fs::replace_file(fs_, fs::join(dir_, kSums), fs::join(dir_, kSumsTemp), encode_sums(sums));
  if (s.ok()) s = fs_.sync_dir(dir_);
  if (!s.ok()) return Error::io("write checksums failed: " + s.error().text());
  return ok_status();
}

Result<uint64_t> StorageEngine::compact(const std::function<bool(uint64_t id, uint64_t offset)>& keep,
                                        const std::function<void(uint64_t id, uint64_t offset)>& moved) {
  if (data_sync_failure_) return *data_sync_failure_;
  if (data_lost_) return *data_lost_;
  const std::string path = fs::join(dir_, kData);
  const std::string tmp = fs::join(dir_, kCompactTemp);
  auto fail = [&](const Error& e) {
    if (fs_.exists(tmp)) (void)fs_.remove(tmp);
    return Error::io("compact failed: " + e.text());
  };
  if (fs_.exists(tmp)) ORVEX_TRY(fs_.remove(tmp));
  std::vector<std::pair<uint64_t, uint64_t>> kept;  // id, new offset
  BlockSums new_sums;
  {
    auto out = DataFile::open(fs_, tmp);
    if (!out.ok()) return fail(out.error());
    (*out)->set_hold(true);  // written out in runs of kWriteOutBytes
    Status written = ok_status();
    auto end = data_->scan_active(
        [&](DataRecord& rec) {
          if (!written.ok() || !keep(rec.id, rec.offset)) return;
          auto offset = (*out)->append_text(rec.id, rec.vector, rec.payload_text);
          if (!offset.ok()) {
            written = std::move(offset).error();
            return;
          }
          kept.emplace_back(rec.id, *offset);
          if ((*out)->buffered_bytes() >= kWriteOutBytes) written = (*out)->write_out();
        },
        nullptr, /*raw=*/true);
    if (!end.ok()) return fail(end.error());
    if (!written.ok()) return fail(written.error());
    if (auto s = (*out)->sync(); !s.ok()) return fail(s.error());
    new_sums = (*out)->sums();
  }
  const uint64_t before = data_->offset();
  if (auto s = fs_.rename(tmp, path); !s.ok()) return fail(s.error());
  // From here on data.ovx is the new file, whatever happens next.
  if (auto s = fs_.sync_dir(dir_); !s.ok()) return Error::io("compact failed: " + s.error().text());
  auto reopened = DataFile::open(fs_, path);
  if (!reopened.ok()) {
    data_lost_ = Error::io("compact failed: " + reopened.error().text());
    return *data_lost_;
  }
  data_ = std::move(*reopened);
  data_->set_hold(true);
  data_->set_sums(std::move(new_sums));
  deleted_.clear();
  records_ = kept.size();
  for (const auto& [id, offset] : kept) moved(id, offset);
  // The sums of the old file name it: they read as stale until these
  // replace them.
  if (auto s = write_sums(); !s.ok()) return Error::io("compact failed: " + s.error().text());
  return before - data_->offset();
}

Status StorageEngine::write_meta(uint64_t vector_count, uint64_t next_id) {
  CollectionMeta meta;
  meta.dimension = settings_.dimension;
  meta.metric = std::string(metric_name(settings_.metric));
  meta.vector_count = vector_count;
  meta.next_id = next_id;
  auto text = render_meta(meta);
  if (!text.ok()) return Error::collection("serialize meta failed: " + text.error().text());
  // Replaced atomically, then the directory synced (which also makes the
  // rename of the sum file before it durable).
  if (auto s = fs::replace_file(fs_, fs::join(dir_, kMeta), fs::join(dir_, kMetaTemp), *text); !s.ok()) {
    return Error::collection("write meta failed: " + s.error().text());
  }
  if (auto s = fs_.sync_dir(dir_); !s.ok()) return Error::collection("write meta failed: " + s.error().text());
  // A new collection's directory and its ancestors become durable in their
  // parents.
  while (!created_dirs_.empty()) {
    if (auto s = fs_.sync_dir(parent_dir(created_dirs_.front())); !s.ok()) {
      return Error::collection("sync dir failed: " + s.error().text());
    }
    created_dirs_.erase(created_dirs_.begin());
  }
  return ok_status();
}

}  // namespace orvex
