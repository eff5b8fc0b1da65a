#include "collection.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <utility>

#include "id_map.h"
#include "meta.h"
#include "storage/data_file.h"

namespace orvex {
namespace {

constexpr const char* kMetaFile = "meta.json";
constexpr const char* kMetaTempFile = "meta.json.tmp";
constexpr const char* kWalFile = "wal.log";
constexpr const char* kDataFile = "data.ovx";

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

Error out_of_memory() { return Error::collection("out of memory"); }

// Lets any number of insertions run at once while keeping them out of a
// flush. Unlike a reader-writer lock that favours readers, a waiting flush
// stops new insertions from entering, so a steady stream of insertions
// cannot starve it.
class FlushGate {
 public:
  void enter() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return flushes_waiting_ == 0 && !flushing_; });
    ++inside_;
  }
  void leave() {
    std::lock_guard lock(mu_);
    if (--inside_ == 0) cv_.notify_all();
  }
  void close() {
    std::unique_lock lock(mu_);
    ++flushes_waiting_;
    cv_.wait(lock, [&] { return inside_ == 0 && !flushing_; });
    --flushes_waiting_;
    flushing_ = true;
  }
  void open() {
    std::lock_guard lock(mu_);
    flushing_ = false;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t inside_ = 0;
  uint64_t flushes_waiting_ = 0;
  bool flushing_ = false;
};

// A reader-writer lock whose waiting writers stop new readers from entering,
// so a steady stream of searches cannot starve insertions (a plain
// std::shared_mutex may let readers overtake a waiting writer forever).
// Readers cannot starve in turn: writers reach it one at a time (insertions
// are serialised by the log's lock) with other work in between. Meets the
// Lockable and SharedLockable requirements used by std::unique_lock and
// std::shared_lock.
class WriterFirstSharedMutex {
 public:
  void lock() {
    std::unique_lock lock(mu_);
    ++writers_waiting_;
    writers_cv_.wait(lock, [&] { return !writing_ && readers_ == 0; });
    --writers_waiting_;
    writing_ = true;
  }
  void unlock() {
    {
      std::lock_guard lock(mu_);
      writing_ = false;
    }
    writers_cv_.notify_one();
    readers_cv_.notify_all();
  }
  void lock_shared() {
    std::unique_lock lock(mu_);
    readers_cv_.wait(lock, [&] { return !writing_ && writers_waiting_ == 0; });
    ++readers_;
  }
  void unlock_shared() {
    bool wake_writer;
    {
      std::lock_guard lock(mu_);
      wake_writer = --readers_ == 0 && writers_waiting_ > 0;
    }
    if (wake_writer) writers_cv_.notify_one();
  }

 private:
  std::mutex mu_;
  std::condition_variable readers_cv_;
  std::condition_variable writers_cv_;
  uint64_t readers_ = 0;
  uint64_t writers_waiting_ = 0;
  bool writing_ = false;
};

// Holds a FlushGate for an insertion (shared) or a flush (exclusive).
class GatePass {
 public:
  explicit GatePass(FlushGate& gate) : gate_(gate) { gate_.enter(); }
  ~GatePass() { gate_.leave(); }
  GatePass(const GatePass&) = delete;
  GatePass& operator=(const GatePass&) = delete;

 private:
  FlushGate& gate_;
};

class GateClosed {
 public:
  explicit GateClosed(FlushGate& gate) : gate_(gate) { gate_.close(); }
  ~GateClosed() { gate_.open(); }
  GateClosed(const GateClosed&) = delete;
  GateClosed& operator=(const GateClosed&) = delete;

 private:
  FlushGate& gate_;
};

}  // namespace

struct Collection::State {
  State(std::string p, const CollectionConfig& c, fs::FileSystem& f, std::unique_ptr<Wal> w,
        std::unique_ptr<DataFile> d, uint64_t next)
      : path(std::move(p)),
        config(c),
        fs(f),
        index(c.metric, c.dimension),
        wal(std::move(w)),
        data_file(std::move(d)),
        next_id(next) {
    // Write-ahead: a record may reach the data file only once the log entry
    // that describes it is on stable storage. Otherwise a crash could leave a
    // newer record of an id in the data file while the log, replayed over
    // it, still holds an older entry of that id (the result would be no
    // prefix of the insertions). Records wait in memory until the log's next
    // sync (every 100th entry in batch mode, every entry in always mode).
    data_file->set_hold(true);
  }

  // Destruction writes out the buffers without a checkpoint. Records still
  // waiting for the log are written out only behind a forced log; if the
  // log cannot be forced they are dropped (the log still describes them and
  // the next open appends them again).
  ~State() {
    if (data_file->buffered_bytes() == 0) return;
    if (wal->unsynced_entries() > 0 && !wal->sync().ok()) data_file->discard_buffer();
  }

  // Held records beyond this force an early sync of the log, so memory stays
  // bounded whatever the sync mode and the vectors' size.
  static constexpr size_t kMaxHeldBytes = size_t{4} << 20;

  const std::string path;
  const CollectionConfig config;
  fs::FileSystem& fs;

  // The five members, each behind its own reader-writer lock. The index's
  // lock lets a waiting insertion in ahead of new searches.
  mutable WriterFirstSharedMutex index_mu;
  BruteForceIndex index;
  mutable std::shared_mutex wal_mu;
  std::unique_ptr<Wal> wal;
  mutable std::shared_mutex data_mu;
  std::unique_ptr<DataFile> data_file;
  mutable std::shared_mutex map_mu;
  IdMap id_to_offset;  // id -> offset of its live record; seeded per collection
  mutable std::shared_mutex next_mu;
  uint64_t next_id;

  // Insertions pass through this from their log entry to their last applied
  // step; flush closes it, so no insertion is half-way (logged but not yet
  // in the data file) while the data file is forced and the log emptied.
  // Taken before any of the five locks.
  FlushGate flush_gate;

  // Offsets of records replaced by a later record of the same id. They are
  // marked deleted by flush only once the newer records are on stable
  // storage, so a replaced vector never disappears before its successor is
  // durable. A leaf lock: nothing is taken while it is held.
  std::mutex superseded_mu;
  std::vector<uint64_t> superseded;

  // The first failure of forcing the data file; once set, flush reports it
  // forever and never empties the log again. Guarded by data_mu.
  std::optional<Error> data_sync_failure;

  // Serialises the writing of meta.json (the temporary file has one name).
  mutable std::mutex meta_mu;

  std::string file_path(const char* name) const { return fs::join(path, name); }

  void note_superseded(uint64_t offset) {
    std::lock_guard lock(superseded_mu);
    superseded.push_back(offset);
  }

  Status check_dimension(std::span<const float> vector) const {
    if (vector.size() != config.dimension) return Error::dimension_mismatch(config.dimension, vector.size());
    return ok_status();
  }

  // Removes any entry of `id`, then inserts the new one (one step under the
  // index lock, so searches never see the id missing).
  Status replace_in_index(uint64_t id, std::span<const float> vector, Payload payload) {
    std::unique_lock lock(index_mu);
    index.remove(id);
    return index.insert(id, vector, std::move(payload));
  }

  Result<uint64_t> append_record(uint64_t id, std::span<const float> vector, const Payload& payload) {
    std::unique_lock lock(data_mu);
    return data_file->append(id, vector, payload);
  }

  // Marks the id's current record deleted, if it has one (id_to_offset
  // shared, then data_file; the data file is taken exclusively because the
  // record may still sit in its write buffer).
  Status mark_current_deleted(uint64_t id) {
    std::shared_lock map_lock(map_mu);
    const uint64_t* offset = id_to_offset.find(id);
    if (offset == nullptr) return ok_status();
    std::unique_lock data_lock(data_mu);
    return data_file->mark_deleted(*offset);
  }

  Status apply_insert(uint64_t id, std::span<const float> vector, Payload payload) {
    ORVEX_TRY(check_dimension(vector));
    auto offset = append_record(id, vector, payload);
    if (!offset.ok()) return std::move(offset).error();
    ORVEX_TRY(replace_in_index(id, vector, std::move(payload)));
    {
      std::unique_lock lock(map_mu);
      auto [current, inserted] = id_to_offset.try_emplace(id, *offset);
      if (!inserted) {
        note_superseded(*current);
        *current = *offset;
      }
    }
    {
      std::unique_lock lock(next_mu);
      if (id + 1 > next_id) next_id = id + 1;  // wraps to 0 for the largest id
    }
    return ok_status();
  }

  Status apply_update(uint64_t id, std::span<const float> vector, Payload payload) {
    ORVEX_TRY(check_dimension(vector));
    ORVEX_TRY(mark_current_deleted(id));
    auto offset = append_record(id, vector, payload);
    if (!offset.ok()) return std::move(offset).error();
    ORVEX_TRY(replace_in_index(id, vector, std::move(payload)));
    std::unique_lock lock(map_mu);
    id_to_offset.insert_or_assign(id, *offset);
    return ok_status();
  }

  Result<bool> apply_delete(uint64_t id) {
    ORVEX_TRY(mark_current_deleted(id));
    bool had;
    {
      std::unique_lock lock(index_mu);
      had = index.remove(id);
    }
    std::unique_lock lock(map_mu);
    id_to_offset.erase(id);
    return had;
  }

  // Lets the data file write out the records that wait for the log, once the
  // log is on stable storage (or forces the log when too much is waiting).
  // Precondition: wal_mu held exclusively. A failure is reported to the
  // insertion that met it (which stays logged and applied: nothing is rolled
  // back); the unwritten records stay in memory and go out first next time.
  Status release_records_locked() {
    std::unique_lock lock(data_mu);
    if (data_file->buffered_bytes() == 0) return ok_status();
    if (wal->unsynced_entries() > 0) {
      if (data_file->buffered_bytes() < kMaxHeldBytes) return ok_status();
      ORVEX_TRY(wal->sync());
    }
    return data_file->write_out();
  }

  Status recover();
  // Marks the superseded records deleted. Precondition: data_mu held
  // exclusively and the data file just forced to stable storage.
  Status retire_superseded_locked();
  Status load_data_file();
  Status replay_log();
  // Capacity hints for the ids the log brings that the data file did not.
  void reserve_for_replay(const std::vector<WalEntry>& entries);
  Status save_meta() const;
  Status flush();
};

// ---- recovery -------------------------------------------------------------

Status Collection::State::load_data_file() {
  // Runs before the collection is shared: the scan uses only its own handle,
  // so the data file's lock is not held across the index's.
  std::unique_lock index_lock(index_mu);
  std::unique_lock map_lock(map_mu);
  std::unique_lock next_lock(next_mu);

  // The smallest record (empty payload); saturated, never 0 through a wrap.
  const uint64_t min_record = config.dimension > (UINT64_MAX - 28) / 4 ? UINT64_MAX : 28 + 4 * config.dimension;
  const size_t expected = static_cast<size_t>(data_file->offset() / min_record);
  index.reserve(expected);
  try {
    id_to_offset.reserve(expected);
  } catch (const std::bad_alloc&) {
    // Only a hint: the map grows as needed.
  }

  uint64_t largest = 0;
  bool any = false;
  auto end = data_file->scan_active([&](DataRecord& rec) {
    any = true;
    if (rec.id > largest) largest = rec.id;
    // A record of the wrong length stays out of the index and does not
    // displace an earlier record of its id; it still counts for next_id.
    if (rec.vector.size() != config.dimension) return;
    // The newest live record of an id wins; the older one is superseded.
    // The id map answers whether the index already holds the id, so the
    // common case (a first record) costs one lookup, not a removal attempt.
    // The vector is copied out of the scan's reused record (no allocation).
    auto [current, inserted] = id_to_offset.try_emplace(rec.id, rec.offset);
    if (inserted) {
      if (!index.insert(rec.id, rec.vector, std::move(rec.payload)).ok()) id_to_offset.erase(rec.id);
      return;
    }
    index.remove(rec.id);
    if (!index.insert(rec.id, rec.vector, std::move(rec.payload)).ok()) return;
    note_superseded(*current);
    *current = rec.offset;
  });
  if (!end.ok()) return std::move(end).error();
  next_id = any ? largest + 1 : 1;

  // Whatever follows the last whole record is the torn end of an interrupted
  // write: cut it off before anything is appended behind it.
  std::unique_lock data_lock(data_mu);
  if (*end < data_file->offset()) ORVEX_TRY(data_file->truncate_to(*end));
  return ok_status();
}

Status Collection::State::replay_log() {
  const std::string wal_path = file_path(kWalFile);
  auto read = Wal::read_all(fs, wal_path);
  if (!read.ok()) return std::move(read).error();
  {
    std::unique_lock wal_lock(wal_mu);
    auto file = fs.open(wal_path, fs::OpenMode::ReadOnly);
    if (!file.ok()) return Error::io("open log failed: " + file.error().text());
    auto size = (*file)->size();
    if (!size.ok()) return Error::io("metadata failed: " + size.error().text());
    if (read->end_offset < *size) ORVEX_TRY(wal->truncate_to(read->end_offset));
    // The log as read may sit only in the operating system's cache (the
    // previous process may have died before its next sync). Force it before
    // the replay appends records that it describes.
    if (!read->entries.empty()) ORVEX_TRY(wal->sync());
  }
  reserve_for_replay(read->entries);
  for (WalEntry& e : read->entries) {
    switch (e.kind) {
      case WalEntryKind::Insert:
        ORVEX_TRY(apply_insert(e.id, e.vector, std::move(e.payload)));
        break;
      case WalEntryKind::Update:
        ORVEX_TRY(apply_update(e.id, e.vector, std::move(e.payload)));
        break;
      case WalEntryKind::Delete: {
        auto r = apply_delete(e.id);
        if (!r.ok()) return std::move(r).error();
        break;
      }
      case WalEntryKind::Checkpoint:
        break;
    }
    e.vector = {};  // the data now lives in the index
    // The log is on stable storage, so the replayed records may go out as
    // they come rather than pile up in memory (a failure keeps them there;
    // the next flush reports it).
    std::unique_lock data_lock(data_mu);
    if (data_file->buffered_bytes() >= kMaxHeldBytes) (void)data_file->write_out();
  }
  return ok_status();
}

void Collection::State::reserve_for_replay(const std::vector<WalEntry>& entries) {
  std::unique_lock index_lock(index_mu);
  std::unique_lock map_lock(map_mu);
  size_t fresh = 0;  // ids the log adds (an id added twice counts twice)
  for (const WalEntry& e : entries) {
    if ((e.kind == WalEntryKind::Insert || e.kind == WalEntryKind::Update) && !id_to_offset.contains(e.id)) ++fresh;
  }
  if (fresh == 0) return;
  index.reserve(index.len() + fresh);
  try {
    id_to_offset.reserve(id_to_offset.size() + fresh);
  } catch (const std::bad_alloc&) {
    // Only a hint: the map grows as needed.
  }
}

Status Collection::State::recover() {
  ORVEX_TRY(load_data_file());
  ORVEX_TRY(replay_log());
  // Records that recovery replaced (replayed insertions of ids already in the
  // data file) are retired once their successors are on stable storage, so
  // the data file keeps one live record per id across reopenings.
  std::unique_lock data_lock(data_mu);
  {
    std::lock_guard lock(superseded_mu);
    if (superseded.empty()) {
      // The log is durable: the replayed records may go out (a failure
      // keeps them in memory; flush reports it).
      (void)data_file->write_out();
      return ok_status();
    }
  }
  if (auto s = data_file->flush(); !s.ok()) {
    data_sync_failure = s.error();  // reported by the next flush
    return ok_status();
  }
  return retire_superseded_locked();
}

Status Collection::State::retire_superseded_locked() {
  std::vector<uint64_t> marks;
  {
    std::lock_guard lock(superseded_mu);
    marks.swap(superseded);
  }
  // One handle for all of them. After a failure every mark is kept for the
  // next flush (marking a record twice is harmless).
  if (auto s = data_file->mark_deleted_many(marks); !s.ok()) {
    std::lock_guard lock(superseded_mu);
    superseded.insert(superseded.end(), marks.begin(), marks.end());
    return s;
  }
  return ok_status();
}

// ---- meta.json and flush --------------------------------------------------

Status Collection::State::save_meta() const {
  CollectionMeta meta;
  meta.metric = std::string(metric_name(config.metric));
  {
    std::shared_lock lock(index_mu);
    meta.vector_count = index.len();
  }
  {
    std::shared_lock lock(next_mu);
    meta.next_id = next_id;
  }
  meta.dimension = config.dimension;
  auto text = render_meta(meta);
  if (!text.ok()) return Error::collection("serialize meta failed: " + text.error().text());

  // Replace the file atomically: a whole temporary file, synced, renamed over
  // meta.json, then the directory synced. No temporary file is left behind.
  std::lock_guard lock(meta_mu);
  const std::string tmp = file_path(kMetaTempFile);
  auto fail = [&](const Error& e) {
    if (fs.exists(tmp)) (void)fs.remove(tmp);
    return Error::collection("write meta failed: " + e.text());
  };
  {
    auto file = fs.open(tmp, fs::OpenMode::WriteCreateTruncate);
    if (!file.ok()) return fail(file.error());
    if (auto s = (*file)->write(text->data(), text->size()); !s.ok()) return fail(s.error());
    if (auto s = (*file)->sync(); !s.ok()) return fail(s.error());
  }
  if (auto s = fs.rename(tmp, file_path(kMetaFile)); !s.ok()) return fail(s.error());
  if (auto s = fs.sync_dir(path); !s.ok()) return Error::collection("write meta failed: " + s.error().text());
  return ok_status();
}

Status Collection::State::flush() {
  {
    GateClosed gate(flush_gate);
    // The log stays locked until it is emptied: no insertion can log an
    // entry that the checkpoint would drop before its record is durable.
    std::unique_lock wal_lock(wal_mu);
    {
      std::unique_lock data_lock(data_mu);
      if (data_sync_failure) return *data_sync_failure;
      // The log first: forcing the data file must not make a record durable
      // while the log entry that describes it is not.
      if (wal->unsynced_entries() > 0) ORVEX_TRY(wal->sync());
      if (auto s = data_file->flush(); !s.ok()) {
        data_sync_failure = s.error();
        return s;
      }
      // The replacing records are durable now: retire the replaced ones. A
      // mark lost to a crash is harmless (the newest record of an id wins).
      ORVEX_TRY(retire_superseded_locked());
    }
    ORVEX_TRY(wal->checkpoint());
  }
  return save_meta();
}

// ---- Collection -----------------------------------------------------------

Collection::Collection(std::unique_ptr<State> state) : state_(std::move(state)) {}
Collection::~Collection() = default;

Result<std::unique_ptr<Collection>> Collection::open_or_create(const std::string& path,
                                                               const CollectionConfig& config,
                                                               fs::FileSystem* file_system) {
  try {
    fs::FileSystem& fs = file_system ? *file_system : fs::posix();

    // Directories this call creates, deepest first; their parents are synced
    // once the collection is complete.
    std::vector<std::string> created;
    if (!fs.exists(path)) {
      for (std::string p = path; !p.empty() && !fs.exists(p);) {
        created.push_back(p);
        std::string up = parent_dir(p);
        if (up == p) break;
        p = std::move(up);
      }
      if (auto s = fs.create_dirs(path); !s.ok()) {
        return Error::collection("create dir failed: " + s.error().text());
      }
    }

    const std::string meta_path = fs::join(path, kMetaFile);
    const bool existing = fs.exists(meta_path);
    uint64_t next_id = 1;
    if (existing) {
      auto text = fs.read_file(meta_path);
      if (!text.ok()) return Error::collection("read meta failed: " + text.error().text());
      if (!is_valid_utf8(*text)) return Error::collection("read meta failed: stream did not contain valid UTF-8");
      auto meta = parse_meta(*text);
      if (!meta.ok()) return Error::collection("parse meta failed: " + meta.error().text());
      if (meta->dimension != config.dimension) {
        return Error::collection("dimension mismatch: collection has " + std::to_string(meta->dimension) +
                                 ", config has " + std::to_string(config.dimension));
      }
      next_id = meta->next_id;
    }

    auto wal = Wal::open(fs, fs::join(path, kWalFile), config.sync_mode);
    if (!wal.ok()) return std::move(wal).error();
    auto data = DataFile::open(fs, fs::join(path, kDataFile));
    if (!data.ok()) return std::move(data).error();

    auto state = std::make_unique<State>(path, config, fs, std::move(*wal), std::move(*data), next_id);
    ORVEX_TRY(state->recover());
    if (!existing) {
      ORVEX_TRY(state->save_meta());  // also syncs the directory's entries
      for (const std::string& dir : created) {
        if (auto s = fs.sync_dir(parent_dir(dir)); !s.ok()) {
          return Error::collection("sync dir failed: " + s.error().text());
        }
      }
    }
    return std::unique_ptr<Collection>(new Collection(std::move(state)));
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

Status Collection::insert(uint64_t id, std::span<const float> vector, Payload payload) {
  State& s = *state_;
  // Refused before anything is logged: a logged entry of the wrong length
  // would stop every later open.
  ORVEX_TRY(s.check_dimension(vector));
  try {
    GatePass gate(s.flush_gate);
    // The log stays locked until the insertion is applied, so the log and
    // the data file receive insertions in the same order.
    std::unique_lock lock(s.wal_mu);
    ORVEX_TRY(s.wal->append(WalEntryKind::Insert, id, vector, payload));
    ORVEX_TRY(s.apply_insert(id, vector, std::move(payload)));
    return s.release_records_locked();
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

Status Collection::apply_insert_no_wal(uint64_t id, std::span<const float> vector, Payload payload) {
  try {
    GatePass gate(state_->flush_gate);
    std::unique_lock lock(state_->wal_mu);
    ORVEX_TRY(state_->apply_insert(id, vector, std::move(payload)));
    return state_->release_records_locked();
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

Status Collection::apply_update_no_wal(uint64_t id, std::span<const float> vector, Payload payload) {
  try {
    GatePass gate(state_->flush_gate);
    std::unique_lock lock(state_->wal_mu);
    ORVEX_TRY(state_->apply_update(id, vector, std::move(payload)));
    return state_->release_records_locked();
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

Result<bool> Collection::apply_delete_no_wal(uint64_t id) {
  try {
    GatePass gate(state_->flush_gate);
    std::unique_lock lock(state_->wal_mu);
    return state_->apply_delete(id);
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

std::vector<SearchResult> Collection::search(std::span<const float> query, uint64_t k,
                                             std::optional<Filter> filter, bool with_payload) const {
  std::shared_lock lock(state_->index_mu);
  return state_->index.search(query, k, filter ? &*filter : nullptr, with_payload);
}

std::vector<std::vector<SearchResult>> Collection::search_batch(std::span<const float> queries, size_t nq,
                                                                uint64_t k, const Filter* filter,
                                                                bool with_payload) const {
  std::shared_lock lock(state_->index_mu);
  return state_->index.search_batch(queries, nq, k, filter, with_payload);
}

Status Collection::flush() {
  try {
    return state_->flush();
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

Status Collection::save_meta() const {
  try {
    return state_->save_meta();
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

size_t Collection::len() const {
  std::shared_lock lock(state_->index_mu);
  return state_->index.len();
}

uint64_t Collection::next_id() const {
  std::shared_lock lock(state_->next_mu);
  return state_->next_id;
}

const std::string& Collection::path() const { return state_->path; }
const CollectionConfig& Collection::config() const { return state_->config; }

}  // namespace orvex
