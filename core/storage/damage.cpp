#include "damage.h"

#include <algorithm>
#include <cstring>

#include "files.h"

namespace orvex {
namespace {

uint64_t vector_hash(std::span<const float> v) {
  uint64_t h = 1469598103934665603ull;
  for (float f : v) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    h = (h ^ bits) * 1099511628211ull;
  }
  return h;
}

bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 4) == 0);
}

bool same_payload(const DataRecord& rec, const WalEntry& e, bool raw) {
  if (!raw) return rec.payload == e.payload;
  std::string text;
  return append_payload_text(e.payload, text).ok() && text == rec.payload_text;
}

std::string range_text(uint64_t start, uint64_t end) {
  return "bytes " + std::to_string(start) + " to " + std::to_string(end - 1);
}

}  // namespace

void LogIndex::build() const {
  if (built_) return;
  built_ = true;
  for (const WalEntry& e : entries_) {
    if (auto chunk = BulkChunk::of(e)) bulk_.push_back(*chunk);
    mentioned_.insert(e.id);
    if (e.kind != WalEntryKind::Insert && e.kind != WalEntryKind::Update) continue;
    by_id_[e.id].push_back(&e);
    by_vector_.emplace(vector_hash(e.vector), &e);
  }
}

LogIndex::Match LogIndex::match(const DataRecord& rec, bool raw) const {
  build();
  if (in_bulk_chunk(rec.offset)) return Match::Described;
  if (auto it = by_id_.find(rec.id); it != by_id_.end()) {
    for (const WalEntry* e : it->second) {
      if (same_bits(e->vector, rec.vector) && same_payload(rec, *e, raw)) return Match::Described;
    }
    return Match::Differs;
  }
  auto [lo, hi] = by_vector_.equal_range(vector_hash(rec.vector));
  for (auto it = lo; it != hi; ++it) {
    if (same_bits(it->second->vector, rec.vector) && same_payload(rec, *it->second, raw)) return Match::OtherId;
  }
  return Match::Unmentioned;
}

const char* sum_state_name(SumState state) {
  switch (state) {
    case SumState::Missing: return "missing";
    case SumState::Damaged: return "damaged";
    case SumState::Stale: return "stale";
    case SumState::Current: return "current";
  }
  return "";
}

Error DataCheck::error() const {
  if (state == SumState::Damaged) {
    return Error::io(std::string(files::kSums) + " damaged: " + sum_problem +
                     " (Collection.repair rewrites it from the data file)");
  }
  return Error::io(std::string(files::kData) + " damaged at offset " + std::to_string(damage_at.value_or(0)) + ": " +
                   damage + " (Collection.repair sets the damaged records aside)");
}

std::optional<Result<SumFile>> read_sum_file(fs::FileSystem& fs, const std::string& dir) {
  const std::string path = fs::join(dir, files::kSums);
  if (!fs.exists(path)) return std::nullopt;
  Result<std::string> text = fs.read_file(path);
  if (!text.ok()) return Result<SumFile>(Error::io("read failed: " + text.error().text()));
  return decode_sums(*text);
}

Result<DataCheck> check_data(DataFile& data, const std::optional<Result<SumFile>>& sums, const LogIndex& log,
                             const std::function<void(DataRecord&)>& visit, bool raw) {
  DataCheck c;
  const SumFile* vouch = nullptr;
  if (sums && !sums->ok()) {
    c.state = SumState::Damaged;
    c.sum_problem = sums->error().text();
  } else if (sums) {
    Result<uint64_t> identity = data.identity();
    if (!identity.ok()) return Error::io("metadata failed: " + identity.error().text());
    if (*identity != sums->value().identity) {
      c.state = SumState::Stale;
      c.sum_problem = "written for another data file (a compaction or a copy replaced it since)";
    } else {
      c.state = SumState::Current;
      vouch = &sums->value();
      c.covered = vouch->covered;
      c.sums.keep_prefix(c.covered);
    }
  }
  auto note = [&](uint64_t at, std::string what) {
    if (!c.damage_at || at < *c.damage_at) c.damage_at = at, c.damage = std::move(what);
  };

  ScanExtras extras;
  extras.sums = &c.sums;
  extras.every = [&](const DataRecord& rec) {
    if (rec.deleted) c.deleted.push_back(rec.offset);
    if (rec.offset < c.covered) {
      const bool was_deleted = std::binary_search(vouch->deleted.begin(), vouch->deleted.end(), rec.offset);
      if (was_deleted && !rec.deleted) {
        c.revived.push_back(rec.offset);
        note(rec.offset, "a record deleted at the last flush is live again (its delete marker changed)");
      }
      if (!was_deleted && rec.deleted) c.new_marks.emplace_back(rec.offset, rec.id);
      return;
    }
    // A marker after the covered part vouches for nothing; without sums the
    // log may be younger than any record.
    if (rec.deleted || !vouch) return;
    switch (log.match(rec, raw)) {
      case LogIndex::Match::Described: ++c.described; break;
      case LogIndex::Match::Unmentioned: c.unmentioned.push_back(rec.offset); break;
      case LogIndex::Match::Differs: c.differ.push_back(rec.offset); break;
      case LogIndex::Match::OtherId:
        c.other_id.push_back(rec.offset);
        note(rec.offset, "the record of id " + std::to_string(rec.id) + " holds the vector the log gives another id");
        break;
    }
  };
  Result<uint64_t> end = data.scan_active(visit, &c.records, raw, &extras);
  if (!end.ok()) return std::move(end).error();
  c.end = *end;
  c.size = data.offset();
  if (vouch) {
    const uint64_t checked = std::min(c.covered, c.end);
    const std::vector<uint32_t> now = c.sums.sums(checked);
    for (size_t b = 0; b < now.size(); ++b) {
      const uint64_t start = b * BlockSums::kBlock, stop = std::min(start + BlockSums::kBlock, checked);
      // A last block cut short by the end of the whole records is judged below.
      if (stop < std::min(start + BlockSums::kBlock, c.covered)) break;
      if (now[b] != vouch->blocks[b]) {
        c.bad_blocks.emplace_back(start, stop);
        note(start, "checksum mismatch in " + range_text(start, stop));
      }
    }
    if (c.end < c.covered) {
      note(c.end, "the records stop " + std::to_string(c.covered - c.end) +
                      " bytes before the end of what the checksums cover (" + std::to_string(c.covered) +
                      " bytes): a record there cannot be read, or the file was cut");
    }
  }
  return c;
}

}  // namespace orvex
