#include "snapshot_reader.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <new>
#include <thread>

#include "damage.h"
#include "data_file.h"
#include "files.h"
#include "meta_file.h"

namespace orvex {
namespace {

using namespace files;

// A read starts again when the log was emptied while it read; a writer that
// empties it this many times in a row during reads stops the read.
constexpr int kAttempts = 1000;

}  // namespace

Result<std::unique_ptr<SnapshotReader>> SnapshotReader::open(fs::FileSystem& fs, const std::string& dir) {
  const std::string meta_path = fs::join(dir, kMeta);
  if (!fs.exists(meta_path)) return Error::collection("no collection here: meta.json is missing");
  auto text = fs.read_file(meta_path);
  if (!text.ok()) return Error::collection("read meta failed: " + text.error().text());
  if (!is_valid_utf8(*text)) return Error::collection("read meta failed: stream did not contain valid UTF-8");
  auto meta = parse_meta(*text);
  if (!meta.ok()) return Error::collection("parse meta failed: " + meta.error().text());
  const std::optional<DistanceMetric> metric = metric_named(meta->metric);
  if (!metric) return Error::collection("parse meta failed: unknown metric `" + meta->metric + "`");
  return std::unique_ptr<SnapshotReader>(new SnapshotReader(fs, dir, meta->dimension, *metric));
}

Status SnapshotReader::read_changes(SnapshotVisitor& visitor) {
  Status st = ok_status();
  try {
    st = follow(visitor);
  } catch (const std::bad_alloc&) {
    st = Error::io("read failed: " + os_error_text(ENOMEM));
  }
  if (!st.ok()) data_.reset();  // the next read starts from nothing
  return st;
}

Status SnapshotReader::follow(SnapshotVisitor& visitor) {
  const std::string wal = fs::join(dir_, kWal);
  int damaged_reads = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    auto before = Wal::read_generation(fs_, wal);
    if (!before.ok()) return std::move(before).error();
    if (!data_) {
      ORVEX_TRY(reload(visitor));
    } else if (!*before || *before != generation_) {
      ORVEX_TRY(catch_up(visitor));
    }
    // After a reload or a catch-up the log is read from its start.
    const bool same_log = *before && *before == generation_;
    const uint64_t from = same_log ? log_offset_ : 0;
    auto scan = Wal::scan(fs_, wal, from);
    if (!scan.ok()) return std::move(scan).error();
    auto after = Wal::read_generation(fs_, wal);
    if (!after.ok()) return std::move(after).error();
    // Emptied while it was read: what was read may be the next log's.
    if (*after != *before) {
      generation_.reset();
      continue;
    }
    // A frame whose bytes do not match may be one still being written,
    // read part old, part new: read again before calling it damage.
    if (scan->damage && ++damaged_reads < 3) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (scan->damage) return *scan->damage;
    auto end = apply_frames(visitor, *scan, from);
    if (!end.ok()) return std::move(end).error();
    generation_ = *before;
    log_offset_ = *end;
    return ok_status();
  }
  return Error::io("read failed: the log was emptied during every read");
}

Result<uint64_t> SnapshotReader::apply_frames(SnapshotVisitor& visitor, WalScan& scan, uint64_t from) {
  visitor.expect(scan.entries.size());
  for (size_t i = 0; i < scan.entries.size(); ++i) {
    WalEntry& e = scan.entries[i];
    switch (e.kind) {
      case WalEntryKind::Insert:
      case WalEntryKind::Update:
        // The writer's open refuses such an entry too.
        if (e.vector.size() != dimension_) return Error::dimension_mismatch(dimension_, e.vector.size());
        ORVEX_TRY(visitor.put(e.id, e.vector, e.payload, /*first=*/false));
        break;
      case WalEntryKind::Delete:
        visitor.remove(e.id);
        break;
      case WalEntryKind::Checkpoint: {
        const std::optional<BulkChunk> chunk = BulkChunk::of(e);
        if (!chunk) break;
        auto crc = DataFile::range_crc32c(*data_, chunk->offset, chunk->bytes);
        if (!crc.ok()) return std::move(crc).error();
        if (*crc != chunk->crc) {
          // Not written whole yet: the read stops before it.
          if (i + 1 == scan.entries.size()) return i == 0 ? from : scan.ends[i - 1];
          break;  // the unfinished end of an interrupted batch
        }
        Status put = ok_status();
        auto read = DataFile::scan_range(*data_, chunk->offset, chunk->offset + chunk->bytes, [&](DataRecord& rec) {
          if (put.ok() && rec.vector.size() == dimension_) put = visitor.put(rec.id, rec.vector, rec.payload, false);
        });
        if (!read.ok()) return std::move(read).error();
        ORVEX_TRY(put);
        break;
      }
    }
  }
  return scan.end_offset;
}

Status SnapshotReader::put_record(SnapshotVisitor& visitor, DataRecord& rec, bool reloading) {
  // A record of the wrong length stays out, as at the writer's open.
  if (rec.vector.size() != dimension_) return ok_status();
  // A catch-up's records enter newest_ only once a deletion needs it.
  const bool first = reloading && newest_.insert_or_assign(rec.id, rec.offset);
  read_records_.emplace_back(rec.offset, rec.id);
  if (reloading) noted_ = read_records_.size();
  return visitor.put(rec.id, rec.vector, rec.payload, first);
}

void SnapshotReader::note_newest() {
  // The table is larger than the caches: each entry looks its slot up a few
  // records ahead. Offsets ascend, so a later record of an id overrides.
  constexpr size_t kAhead = 16;
  const size_t end = read_records_.size();
  newest_.reserve(newest_.size() + (end - noted_));
  for (size_t i = noted_; i < end; ++i) {
    if (i + kAhead < end) newest_.prefetch(read_records_[i + kAhead].second);
    newest_.insert_or_assign(read_records_[i].second, read_records_[i].first);
  }
  noted_ = end;
}

Status SnapshotReader::catch_up(SnapshotVisitor& visitor) {
  generation_.reset();
  std::optional<Result<SumFile>> sums = read_sum_file(fs_, dir_);
  if (!sums || !sums->ok() || sums->value().identity != data_identity_) return reload(visitor);
  SumFile& s = sums->value();
  const uint64_t read_before = data_end_;
  if (s.covered > data_end_) {
    Status put = ok_status();
    visitor.expect((s.covered - data_end_) / (21 + 4 * std::min<uint64_t>(dimension_, UINT64_MAX / 8)));
    std::vector<std::pair<uint64_t, uint64_t>> dead;  // (id, offset) of records listed as deleted
    auto end = DataFile::scan_range(*data_, data_end_, s.covered, [&](DataRecord& rec) {
      if (!put.ok()) return;
      if (std::binary_search(s.deleted.begin(), s.deleted.end(), rec.offset)) {
        dead.emplace_back(rec.id, rec.offset);
      } else {
        put = put_record(visitor, rec, /*reloading=*/false);
      }
    });
    if (!end.ok()) return std::move(end).error();
    ORVEX_TRY(put);
    if (!dead.empty()) note_newest();
    // A deleted record removes its id unless a later record of it was read
    // (the same change restated by a reopened writer's replay, or a newer one).
    for (const auto& [id, offset] : dead) {
      const uint64_t* newest = newest_.find(id);
      if (newest != nullptr && *newest > offset) continue;
      newest_.erase(id);
      visitor.remove(id);
    }
    // Shorter than its sums say: the full read reports the damage.
    if (*end != s.covered) return reload(visitor);
    data_end_ = s.covered;
  }
  // Records read before and newly listed as deleted: an id whose newest
  // record that is no longer has it (a later record of the id, read above,
  // would have taken its place).
  // Marks only ever go from live to deleted: the list as last read is part of
  // this one, and the same length means the same list.
  std::vector<uint64_t> marked;
  if (s.deleted.size() != known_deleted_.size()) {
    std::set_difference(s.deleted.begin(), s.deleted.end(), known_deleted_.begin(), known_deleted_.end(),
                        std::back_inserter(marked));
  }
  if (!marked.empty() && marked.front() < read_before) note_newest();
  for (uint64_t offset : marked) {
    if (offset >= read_before) break;
    auto it = std::lower_bound(read_records_.begin(), read_records_.end(), std::pair<uint64_t, uint64_t>(offset, 0));
    if (it == read_records_.end() || it->first != offset) continue;
    const uint64_t* newest = newest_.find(it->second);
    if (newest == nullptr || *newest != offset) continue;
    newest_.erase(it->second);
    visitor.remove(it->second);
  }
  known_deleted_ = std::move(s.deleted);
  return ok_status();
}

Status SnapshotReader::reload(SnapshotVisitor& visitor) {
  const std::string path = fs::join(dir_, kData);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    data_.reset();
    generation_.reset();
    newest_.clear();
    read_records_.clear();
    noted_ = 0;
    known_deleted_.clear();
    data_end_ = 0;

    if (!fs_.exists(path)) return Error::io("failed to open data file: " + os_error_text(ENOENT));
    auto file = fs_.open(path, fs::OpenMode::ReadOnly);
    if (!file.ok()) return Error::io("failed to open data file: " + file.error().text());
    auto identity = (*file)->identity();
    if (!identity.ok()) return Error::io("metadata failed: " + identity.error().text());
    auto size = (*file)->size();
    if (!size.ok()) return Error::io("metadata failed: " + size.error().text());
    const uint64_t hint = *size / (21 + 4 * std::min<uint64_t>(dimension_, UINT64_MAX / 8));
    visitor.reset(hint);
    try {
      newest_.reserve(static_cast<size_t>(hint));
      read_records_.reserve(static_cast<size_t>(hint));
    } catch (const std::bad_alloc&) {
      // Only a hint: they grow as needed.
    }
    auto data = DataFile::open_to_read(fs_, path);
    if (!data.ok()) return std::move(data).error();
    const std::optional<Result<SumFile>> sums = read_sum_file(fs_, dir_);
    const bool current = sums && sums->ok() && sums->value().identity == *identity;

    // Up to the covered length when the sums are current (the log read
    // afterwards describes the rest); otherwise every whole record, up to
    // the first bulk chunk the log names that is not whole, as the writer's
    // open keeps them.
    uint64_t limit = UINT64_MAX;
    std::vector<WalEntry> entries;
    if (current) {
      limit = sums->value().covered;
    } else {
      auto log = Wal::read_all(fs_, fs::join(dir_, kWal));
      if (!log.ok()) return std::move(log).error();
      entries = std::move(log->entries);
      for (const WalEntry& e : entries) {
        const std::optional<BulkChunk> chunk = BulkChunk::of(e);
        if (!chunk) continue;
        auto crc = DataFile::range_crc32c(**file, chunk->offset, chunk->bytes);
        if (!crc.ok()) return std::move(crc).error();
        if (*crc == chunk->crc) continue;
        limit = chunk->offset;
        break;
      }
    }
    const LogIndex log(entries);
    Status put = ok_status();
    auto checked = check_data(
        **data, sums, log,
        [&](DataRecord& rec) {
          if (put.ok() && rec.offset < limit) put = put_record(visitor, rec, /*reloading=*/true);
        },
        /*raw=*/false);
    if (!checked.ok()) return std::move(checked).error();
    if (checked->state == SumState::Damaged || checked->damage_at) return checked->error();
    ORVEX_TRY(put);
    // The scan went through the path: a compaction may have replaced the
    // file meanwhile.
    auto again = fs_.open(path, fs::OpenMode::ReadOnly);
    if (!again.ok()) return Error::io("failed to open data file: " + again.error().text());
    auto identity_after = (*again)->identity();
    if (!identity_after.ok()) return Error::io("metadata failed: " + identity_after.error().text());
    if (*identity_after != *identity) continue;

    data_ = std::move(*file);
    data_identity_ = *identity;
    data_end_ = std::min(checked->end, limit);
    if (current) known_deleted_ = sums->value().deleted;
    return ok_status();
  }
  return Error::io("read failed: the data file was replaced during every read");
}

}  // namespace orvex
