#include "collection.h"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <optional>
#include <unordered_set>
#include <utility>

#include "id_map.h"
#include "storage/engine.h"
#include "storage/repair.h"
#include "storage/snapshot_reader.h"

namespace orvex {
namespace {

Error out_of_memory() { return Error::collection("out of memory"); }
Error read_only() { return Error::io("collection is read-only"); }

// The list of indexed payload keys and its temporary name.
constexpr const char* kIndexes = "indexes.json";
constexpr const char* kIndexesTemp = "indexes.json.tmp";

// The log forces itself once this many entries are unsynced (0: never).
uint64_t log_sync_every(SyncMode mode) {
  switch (mode) {
    case SyncMode::Always: return 1;
    case SyncMode::Batch: return 100;
    default: return 0;
  }
}

// A reader-writer lock whose waiting writers stop new readers from entering,
// so a steady stream of searches cannot starve changes (std::shared_mutex
// may let readers overtake a waiting writer forever). Readers cannot starve
// in turn: changes reach it one at a time, with other work in between. Meets
// the Lockable and SharedLockable requirements.
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

}  // namespace

Result<Json> Collection::verify(const std::string& path, fs::FileSystem* file_system) {
  return verify_files(file_system ? *file_system : fs::posix(), path);
}

Result<Json> Collection::repair(const std::string& path, std::optional<uint64_t> dimension,
                                std::optional<DistanceMetric> metric, fs::FileSystem* file_system) {
  return repair_files(file_system ? *file_system : fs::posix(), path, dimension, metric);
}

// Two locks: `write_mu` serialises every change (and so every use of the
// engine, the id map and next_id); `index_mu` lets searches share the index
// and is taken exclusively, inside write_mu, only while the index changes.
struct Collection::State : RecoveryVisitor {
  State(std::string p, const CollectionConfig& c) : path(std::move(p)), config(c), index(c.metric, c.dimension) {}

  const std::string path;
  const CollectionConfig config;
  fs::FileSystem* file_system = nullptr;

  std::mutex write_mu;
  std::unique_ptr<StorageEngine> engine;  // a writer's; null in a reader
  std::unique_ptr<SnapshotReader> reader;  // a reader's; null in a writer
  FilterPlan plan = FilterPlan::Auto;
  IdMap id_to_offset;  // id -> offset of its live record
  uint64_t next_id = 1;

  mutable WriterFirstSharedMutex index_mu;
  BruteForceIndex index;

  Status check_dimension(std::span<const float> vector) const {
    if (vector.size() != config.dimension) return Error::dimension_mismatch(config.dimension, vector.size());
    return ok_status();
  }

  // Replaces any entry of `id` in one step, so searches never see it missing.
  Status put_in_index(uint64_t id, std::span<const float> vector, Payload payload) {
    std::unique_lock lock(index_mu);
    index.remove(id);
    return index.insert(id, vector, std::move(payload));
  }

  Status mark_current_deleted(uint64_t id) {
    const uint64_t* offset = id_to_offset.find(id);
    return offset == nullptr ? ok_status() : engine->mark_deleted(*offset);
  }

  void note_record(WalEntryKind kind, uint64_t id, uint64_t offset) {
    auto [current, inserted] = id_to_offset.try_emplace(id, offset);
    if (!inserted) {
      if (kind == WalEntryKind::Insert) engine->supersede(*current);
      *current = offset;
    }
    if (kind == WalEntryKind::Insert && id + 1 > next_id) next_id = id + 1;  // wraps to 0 for the largest id
  }

  // Insert or Update (logged first when `log`): the record, the index, the
  // id map, next_id. The earlier record of a re-inserted id is superseded
  // (marked deleted by the next checkpoint, once the new one is durable);
  // an Update marks it at once. Precondition: write_mu held.
  Status apply(WalEntryKind kind, uint64_t id, std::span<const float> vector, Payload payload, bool log);
  Result<bool> apply_delete(uint64_t id);

  // ---- recovery (RecoveryVisitor) ----
  uint64_t largest_id = 0;
  bool any_record = false;
  void on_record(DataRecord& rec) override;
  void before_entries(std::span<const WalEntry> entries) override;
  Status on_entry(WalEntry& entry) override;

  Status save_meta();

  // indexes.json from the index's keys (atomically); the keys it lists.
  Status save_index_keys() {
    std::vector<std::string> keys;
    {
      std::shared_lock lock(index_mu);
      keys = index.indexes();
    }
    const std::string text = Json(keys).dump();
    if (auto s = fs::replace_file(*file_system, fs::join(path, kIndexes), fs::join(path, kIndexesTemp), text); !s.ok())
      return Error::collection("write indexes failed: " + s.error().text());
    if (auto s = file_system->sync_dir(path); !s.ok()) return Error::collection("write indexes failed: " + s.error().text());
    return ok_status();
  }
  // Builds the indexes indexes.json lists; an unreadable list is ignored.
  void load_index_keys() { load_index_keys(index); }
  void load_index_keys(BruteForceIndex& index) {
    const std::string file = fs::join(path, kIndexes);
    if (!file_system->exists(file)) return;
    Result<std::string> text = file_system->read_file(file);
    if (!text.ok()) return;
    const Json keys = Json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (!keys.is_array()) return;
    for (const Json& key : keys) {
      if (key.is_string()) (void)index.create_index(key.get<std::string>());
    }
  }
};

Status Collection::State::apply(WalEntryKind kind, uint64_t id, std::span<const float> vector, Payload payload,
                                bool log) {
  // Refused before anything is written: a logged entry of the wrong length
  // would stop every later open.
  ORVEX_TRY(check_dimension(vector));
  if (kind == WalEntryKind::Update) ORVEX_TRY(mark_current_deleted(id));
  std::optional<uint64_t> offset;
  Status appended = engine->append(kind, id, vector, payload, log, &offset);
  if (!offset) return appended;
  // The record is appended: the change is applied even when letting waiting
  // records out failed afterwards (that error is still reported).
  ORVEX_TRY(put_in_index(id, vector, std::move(payload)));
  note_record(kind, id, *offset);
  return appended;
}

Result<bool> Collection::State::apply_delete(uint64_t id) {
  ORVEX_TRY(mark_current_deleted(id));
  bool had;
  {
    std::unique_lock lock(index_mu);
    had = index.remove(id);
  }
  id_to_offset.erase(id);
  return had;
}

void Collection::State::on_record(DataRecord& rec) {
  any_record = true;
  if (rec.id > largest_id) largest_id = rec.id;
  // A record of the wrong length stays out of the index and does not
  // displace an earlier record of its id; it still counts for next_id.
  if (rec.vector.size() != config.dimension) return;
  // The newest live record of an id wins; the older one is superseded. The
  // id map says whether the index holds the id, so a first record costs one
  // lookup. Recovery runs before the collection is shared: no lock needed.
  auto [current, inserted] = id_to_offset.try_emplace(rec.id, rec.offset);
  if (inserted) {
    if (!index.insert(rec.id, rec.vector, std::move(rec.payload)).ok()) id_to_offset.erase(rec.id);
    return;
  }
  index.remove(rec.id);
  if (!index.insert(rec.id, rec.vector, std::move(rec.payload)).ok()) return;
  engine->supersede(*current);
  *current = rec.offset;
}

void Collection::State::before_entries(std::span<const WalEntry> entries) {
  next_id = any_record ? largest_id + 1 : 1;
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

Status Collection::State::on_entry(WalEntry& e) {
  switch (e.kind) {
    case WalEntryKind::Insert:
    case WalEntryKind::Update:
      return apply(e.kind, e.id, e.vector, std::move(e.payload), /*log=*/false);
    case WalEntryKind::Delete: {
      auto r = apply_delete(e.id);
      return r.ok() ? ok_status() : Status(std::move(r).error());
    }
    case WalEntryKind::Checkpoint:
      return ok_status();
  }
  return ok_status();
}

Status Collection::State::save_meta() {
  uint64_t vector_count;
  {
    std::shared_lock lock(index_mu);
    vector_count = index.len();
  }
  return engine->write_meta(vector_count, next_id);
}

// ---- Collection -----------------------------------------------------------

Collection::Collection(std::unique_ptr<State> state) : state_(std::move(state)) {}
Collection::~Collection() = default;

Result<std::unique_ptr<Collection>> Collection::open_or_create(const std::string& path,
                                                               const CollectionConfig& config,
                                                               fs::FileSystem* file_system) {
  try {
    auto state = std::make_unique<State>(path, config);
    state->file_system = file_system ? file_system : &fs::posix();
    const StorageSettings settings{config.dimension, config.metric, log_sync_every(config.sync_mode)};
    bool existing = false;
    auto engine = StorageEngine::open(file_system ? *file_system : fs::posix(), path, settings, &existing);
    if (!engine.ok()) return std::move(engine).error();
    state->engine = std::move(*engine);

    // The smallest record (empty payload), saturated: a capacity hint.
    const uint64_t min_record = config.dimension > (UINT64_MAX - 28) / 4 ? UINT64_MAX : 28 + 4 * config.dimension;
    const size_t expected = static_cast<size_t>(state->engine->data_bytes() / min_record);
    state->index.reserve(expected);
    try {
      state->id_to_offset.reserve(expected);
    } catch (const std::bad_alloc&) {
      // Only a hint: the map grows as needed.
    }
    ORVEX_TRY(state->engine->recover(*state));
    state->load_index_keys();
    if (!existing) ORVEX_TRY(state->save_meta());
    return std::unique_ptr<Collection>(new Collection(std::move(state)));
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

namespace {

// Takes what a read of the files hands over. Changes wait here and reach the
// index in one step, so searches see the snapshot before or after them,
// never a part; after a reset they build a new index beside the one in use,
// which replaces it in one step.
struct Refresh final : SnapshotVisitor {
  Refresh(DistanceMetric m, uint64_t d) : metric(m), dimension(d) {}
  DistanceMetric metric;
  uint64_t dimension;
  std::optional<BruteForceIndex> fresh;
  std::vector<uint64_t> ids;
  std::vector<bool> puts;
  std::vector<float> rows;
  std::vector<Payload> payloads;
  uint64_t largest_id = 0;
  bool any = false;

  void reset(uint64_t records_hint) override {
    fresh.emplace(metric, dimension);
    fresh->reserve(static_cast<size_t>(records_hint));
    ids.clear();
    puts.clear();
    rows.clear();
    payloads.clear();
    largest_id = 0;
    any = false;
  }
  Status put(uint64_t id, std::span<const float> vector, Payload& payload, bool first) override {
    any = true;
    largest_id = std::max(largest_id, id);
    if (fresh) {
      if (!first) fresh->remove(id);
      return fresh->insert(id, vector, std::move(payload));
    }
    ids.push_back(id);
    puts.push_back(true);
    rows.insert(rows.end(), vector.begin(), vector.end());
    payloads.push_back(std::move(payload));
    return ok_status();
  }
  void expect(uint64_t changes) override {
    if (fresh) return;
    try {
      const size_t more = static_cast<size_t>(std::min<uint64_t>(changes, uint64_t{1} << 24));
      ids.reserve(ids.size() + more);
      puts.reserve(puts.size() + more);
      payloads.reserve(payloads.size() + more);
      rows.reserve(rows.size() + more * dimension);
    } catch (const std::bad_alloc&) {
      // Only a hint.
    }
  }
  void remove(uint64_t id) override {
    if (fresh) {
      fresh->remove(id);
      return;
    }
    ids.push_back(id);
    puts.push_back(false);
  }
  // The waiting changes, in order; `*changed` counts those that change what
  // the index holds (a read after a checkpoint restates what the log said).
  // Precondition: the index is held exclusively.
  Status apply(BruteForceIndex& index, uint64_t* changed) {
    std::vector<float> held;
    Payload held_payload;
    size_t row = 0;
    size_t run_end = 0;  // the puts without payloads from i on end here
    for (size_t i = 0; i < ids.size(); ++i) {
      if (!puts[i]) {
        *changed += index.remove(ids[i]);
        continue;
      }
      // A run of puts without payloads goes in a group at a time; the
      // index's batch stops at an id it holds or that repeats in the run.
      if (run_end <= i) {
        run_end = i;
        while (run_end < ids.size() && puts[run_end] && payloads[row + run_end - i].empty()) ++run_end;
      }
      const size_t run = run_end - i;
      if (run > 1 && !index.contains(ids[i])) {
        const size_t before = index.len();
        (void)index.insert_batch(std::span<const uint64_t>(ids).subspan(i, run),
                                 std::span<const float>(rows).subspan(row * dimension, run * dimension), run);
        const size_t inserted = index.len() - before;
        *changed += inserted;
        row += inserted;
        i += inserted;
        if (inserted == run) {
          --i;
          continue;
        }
      }
      const std::span<const float> vector = std::span<const float>(rows).subspan(row * dimension, dimension);
      Payload& payload = payloads[row++];
      if (index.get(ids[i], &held, &held_payload) && held_payload == payload &&
          std::equal(held.begin(), held.end(), vector.begin(), vector.end(),
                     [](float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); })) {
        continue;
      }
      index.remove(ids[i]);
      ORVEX_TRY(index.insert(ids[i], vector, std::move(payload)));
      ++*changed;
    }
    return ok_status();
  }
};

}  // namespace

Result<std::unique_ptr<Collection>> Collection::open_read_only(const std::string& path, fs::FileSystem* file_system) {
  try {
    fs::FileSystem& files = file_system ? *file_system : fs::posix();
    auto reader = SnapshotReader::open(files, path);
    if (!reader.ok()) return std::move(reader).error();
    CollectionConfig config;
    config.dimension = (*reader)->dimension();
    config.metric = (*reader)->metric();
    auto state = std::make_unique<State>(path, config);
    state->file_system = &files;
    state->reader = std::move(*reader);
    std::unique_ptr<Collection> collection(new Collection(std::move(state)));
    auto first = collection->refresh();
    if (!first.ok()) return std::move(first).error();
    return collection;
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

bool Collection::read_only() const { return state_->reader != nullptr; }

Result<uint64_t> Collection::refresh() {
  State& st = *state_;
  if (!st.reader) return uint64_t{0};  // a writer always holds its latest state
  try {
    std::lock_guard lock(st.write_mu);
    Refresh changes(st.config.metric, st.config.dimension);
    ORVEX_TRY(st.reader->read_changes(changes));
    if (changes.fresh) {
      changes.fresh->set_filter_plan(st.plan);
      st.load_index_keys(*changes.fresh);
      const uint64_t held = changes.fresh->len();
      BruteForceIndex old = [&] {
        std::unique_lock index_lock(st.index_mu);
        BruteForceIndex before = std::move(st.index);
        st.index = std::move(*changes.fresh);
        return before;
      }();
      st.next_id = changes.any ? changes.largest_id + 1 : 1;
      return held;  // the old index is freed after the lock is released
    }
    uint64_t changed = 0;
    {
      std::unique_lock index_lock(st.index_mu);
      ORVEX_TRY(changes.apply(st.index, &changed));
    }
    if (changes.any && changes.largest_id + 1 > st.next_id) st.next_id = changes.largest_id + 1;
    return changed;
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

// Runs one change under the writer lock; running out of memory is an error,
// and so is any change of a reader.
template <class F>
auto changing(std::mutex& write_mu, bool reader, F&& change) -> decltype(change()) {
  if (reader) return read_only();
  try {
    std::lock_guard lock(write_mu);
    return change();
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

Status Collection::insert(uint64_t id, std::span<const float> vector, Payload payload) {
  return changing(state_->write_mu, state_->reader != nullptr, [&] {
    return state_->apply(WalEntryKind::Insert, id, vector, std::move(payload), /*log=*/true);
  });
}

Status Collection::insert_batch(std::span<const uint64_t> ids, std::span<const float> rows,
                                std::span<Payload> payloads, size_t threads) {
  return changing(state_->write_mu, state_->reader != nullptr, [&]() -> Status {
    State& st = *state_;
    const size_t dim = st.config.dimension;
    const size_t n = ids.size();
    if (dim == 0 ? !rows.empty() : rows.size() / dim != n || rows.size() % dim != 0) {
      return Error::dimension_mismatch(n * dim, rows.size());
    }
    if (!payloads.empty() && payloads.size() != n) return Error::dimension_mismatch(n, payloads.size());
    {
      std::unique_lock lock(st.index_mu);
      st.index.reserve(st.index.len() + n);
    }
    try {
      st.id_to_offset.reserve(st.id_to_offset.size() + n);
    } catch (const std::bad_alloc&) {
      // Only a hint: the map grows as needed.
    }
    const StorageEngine::Batch batch{WalEntryKind::Insert, ids, rows, dim, payloads};
    const auto applied = [&](size_t begin, size_t end, std::span<const uint64_t> offsets) -> Status {
      std::unique_lock lock(st.index_mu);
      size_t i = begin;
      if (payloads.empty()) {
        // Rows of ids the index does not hold go in a group at a time; the
        // index's batch stops at an id repeated in the stretch, and the rest
        // goes one at a time.
        for (size_t j = begin; j < end; ++j) st.index.remove(ids[j]);
        const size_t before = st.index.len();
        (void)st.index.insert_batch(ids.subspan(begin, end - begin), rows.subspan(begin * dim, (end - begin) * dim),
                                    end - begin);
        i += st.index.len() - before;
      }
      for (size_t j = i; j < end; ++j) {
        st.index.remove(ids[j]);
        ORVEX_TRY(st.index.insert(ids[j], rows.subspan(j * dim, dim),
                                  payloads.empty() ? Payload{} : std::move(payloads[j])));
      }
      for (size_t j = begin; j < end; ++j) st.note_record(WalEntryKind::Insert, ids[j], offsets[j - begin]);
      return ok_status();
    };
    // The smallest record of a row (an empty payload), saturated.
    const uint64_t record = dim > (UINT64_MAX - 28) / 4 ? UINT64_MAX : 28 + 4 * dim;
    const bool bulk = st.config.bulk_bytes != 0 && n >= (st.config.bulk_bytes + record - 1) / record;
    return bulk ? st.engine->append_bulk(batch, std::max<uint64_t>(1, st.config.bulk_chunk_bytes), applied)
                : st.engine->append_batch(batch, threads, applied);
  });
}

Result<size_t> Collection::remove_batch(std::span<const uint64_t> ids) {
  return changing(state_->write_mu, state_->reader != nullptr, [&]() -> Result<size_t> {
    State& st = *state_;
    // Only held ids are logged, each once.
    std::vector<uint64_t> held;
    std::unordered_set<uint64_t> taken;
    for (uint64_t id : ids) {
      if (st.id_to_offset.contains(id) && taken.insert(id).second) held.push_back(id);
    }
    size_t removed = 0;
    const StorageEngine::Batch batch{WalEntryKind::Delete, held, {}, 0, {}};
    Status logged = st.engine->append_batch(batch, 1, [&](size_t begin, size_t end, std::span<const uint64_t>) -> Status {
      std::unique_lock lock(st.index_mu);
      for (size_t i = begin; i < end; ++i) {
        st.engine->supersede(*st.id_to_offset.find(held[i]));
        st.index.remove(held[i]);
        st.id_to_offset.erase(held[i]);
        ++removed;
      }
      return ok_status();
    });
    if (!logged.ok()) return std::move(logged).error();
    return removed;
  });
}

Result<bool> Collection::remove(uint64_t id) {
  return changing(state_->write_mu, state_->reader != nullptr, [&]() -> Result<bool> {
    State& st = *state_;
    const uint64_t* offset = st.id_to_offset.find(id);
    if (offset == nullptr) return false;  // not held: nothing is written
    std::optional<uint64_t> none;
    ORVEX_TRY(st.engine->append(WalEntryKind::Delete, id, {}, Payload{}, /*log=*/true, &none));
    st.engine->supersede(*offset);
    {
      std::unique_lock lock(st.index_mu);
      st.index.remove(id);
    }
    st.id_to_offset.erase(id);
    return true;
  });
}

Status Collection::sync() {
  return changing(state_->write_mu, state_->reader != nullptr, [&] { return state_->engine->sync_log(); });
}

Status Collection::apply_insert_no_wal(uint64_t id, std::span<const float> vector, Payload payload) {
  return changing(state_->write_mu, state_->reader != nullptr, [&] {
    return state_->apply(WalEntryKind::Insert, id, vector, std::move(payload), /*log=*/false);
  });
}

Status Collection::apply_update_no_wal(uint64_t id, std::span<const float> vector, Payload payload) {
  return changing(state_->write_mu, state_->reader != nullptr, [&] {
    return state_->apply(WalEntryKind::Update, id, vector, std::move(payload), /*log=*/false);
  });
}

Result<bool> Collection::apply_delete_no_wal(uint64_t id) {
  return changing(state_->write_mu, state_->reader != nullptr, [&] { return state_->apply_delete(id); });
}

std::vector<SearchResult> Collection::search(std::span<const float> query, uint64_t k, const Filter* filter,
                                             bool with_payload) const {
  std::shared_lock lock(state_->index_mu);
  return state_->index.search(query, k, filter, with_payload);
}

std::vector<std::vector<SearchResult>> Collection::search_batch(std::span<const float> queries, size_t nq,
                                                                uint64_t k, const Filter* filter,
                                                                bool with_payload, size_t threads) const {
  std::shared_lock lock(state_->index_mu);
  return state_->index.search_batch(queries, nq, k, filter, with_payload, threads);
}

Status Collection::create_index(const std::string& key) {
  return changing(state_->write_mu, state_->reader != nullptr, [&]() -> Status {
    State& st = *state_;
    {
      std::shared_lock lock(st.index_mu);
      const std::vector<std::string> keys = st.index.indexes();
      if (std::find(keys.begin(), keys.end(), key) != keys.end()) return ok_status();
    }
    {
      std::unique_lock lock(st.index_mu);
      ORVEX_TRY(st.index.create_index(key));
    }
    Status saved = st.save_index_keys();
    if (!saved.ok()) {
      std::unique_lock lock(st.index_mu);
      st.index.drop_index(key);
    }
    return saved;
  });
}

Result<bool> Collection::drop_index(const std::string& key) {
  return changing(state_->write_mu, state_->reader != nullptr, [&]() -> Result<bool> {
    State& st = *state_;
    {
      std::unique_lock lock(st.index_mu);
      if (!st.index.drop_index(key)) return false;
    }
    Status saved = st.save_index_keys();
    if (!saved.ok()) {
      std::unique_lock lock(st.index_mu);
      (void)st.index.create_index(key);
      return std::move(saved).error();
    }
    return true;
  });
}

std::vector<std::string> Collection::indexes() const {
  std::shared_lock lock(state_->index_mu);
  return state_->index.indexes();
}

void Collection::set_filter_plan(FilterPlan plan) {
  std::unique_lock lock(state_->index_mu);
  state_->plan = plan;
  state_->index.set_filter_plan(plan);
}

Status Collection::flush() {
  return changing(state_->write_mu, state_->reader != nullptr, [&]() -> Status {
    ORVEX_TRY(state_->engine->checkpoint());
    return state_->save_meta();
  });
}

Result<uint64_t> Collection::compact() {
  return changing(state_->write_mu, state_->reader != nullptr, [&]() -> Result<uint64_t> {
    State& st = *state_;
    ORVEX_TRY(st.engine->checkpoint());
    ORVEX_TRY(st.save_meta());
    return st.engine->compact(
        [&](uint64_t id, uint64_t offset) {
          const uint64_t* current = st.id_to_offset.find(id);
          return current != nullptr && *current == offset;
        },
        [&](uint64_t id, uint64_t offset) { *st.id_to_offset.find(id) = offset; });
  });
}

Result<bool> Collection::get(uint64_t id, std::vector<float>* vector, Payload* payload) const {
  try {
    std::shared_lock lock(state_->index_mu);
    return state_->index.get(id, vector, payload);
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

bool Collection::contains(uint64_t id) const {
  std::shared_lock lock(state_->index_mu);
  return state_->index.contains(id);
}

Result<std::vector<uint64_t>> Collection::ids() const {
  try {
    std::vector<uint64_t> ids;
    {
      std::shared_lock lock(state_->index_mu);
      ids = state_->index.ids();
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

Collection::Stats Collection::stats() const {
  std::lock_guard lock(state_->write_mu);
  if (state_->reader) {
    Stats s;
    s.vectors = state_->index.len();  // the index changes only under write_mu
    s.indexes = state_->index.index_memory();
    s.data_bytes = state_->reader->data_bytes();
    s.log_bytes = state_->reader->log_bytes();
    return s;
  }
  const StorageEngine& engine = *state_->engine;
  Stats s;
  s.vectors = state_->index.len();  // the index changes only under write_mu
  s.indexes = state_->index.index_memory();
  s.dead_records = engine.data_records() - state_->id_to_offset.size();
  s.data_bytes = engine.data_bytes();
  s.log_bytes = engine.log_bytes();
  return s;
}

Status Collection::save_meta() const {
  return changing(state_->write_mu, state_->reader != nullptr, [&] { return state_->save_meta(); });
}

size_t Collection::len() const {
  std::shared_lock lock(state_->index_mu);
  return state_->index.len();
}

uint64_t Collection::next_id() const {
  std::lock_guard lock(state_->write_mu);
  return state_->next_id;
}

const std::string& Collection::path() const { return state_->path; }
const CollectionConfig& Collection::config() const { return state_->config; }

}  // namespace orvex
