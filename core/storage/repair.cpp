#include "repair.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "damage.h"
#include "files.h"
#include "meta_file.h"

namespace orvex {
namespace {

using namespace files;

Result<std::unique_ptr<fs::DirLock>> lock_existing(fs::FileSystem& fs, const std::string& dir) {
  if (!fs.exists(dir)) return Error::collection("no collection at " + dir);
  auto lock = fs.lock_dir(dir);
  if (!lock.ok()) return Error::collection("lock failed: " + lock.error().text());
  if (!*lock) return Error::collection(kInUse);
  return std::move(*lock);
}

Json or_null(const std::optional<uint64_t>& v) { return v ? Json(*v) : Json(); }

// The data file read against its sums and a log, with what verify and
// repair ask beyond check_data.
struct DataPass {
  DataCheck check;
  uint64_t dimension = 0;               // the most common length of the live records
  std::vector<uint64_t> unexplained;    // new marks nothing explains
};

Result<DataPass> read_data(DataFile& data, const std::optional<Result<SumFile>>& sums, const LogIndex& log) {
  DataPass pass;
  std::map<uint64_t, uint64_t> lengths;
  auto check = check_data(data, sums, log, [&](DataRecord& rec) { ++lengths[rec.vector.size()]; }, false);
  if (!check.ok()) return std::move(check).error();
  pass.check = std::move(*check);
  for (const auto& [len, n] : lengths) {
    if (n > lengths[pass.dimension] || pass.dimension == 0) pass.dimension = len;
  }
  if (pass.check.state != SumState::Current || pass.check.new_marks.empty()) return pass;
  // A new mark is explained by a later record of its id or by the log.
  std::unordered_map<uint64_t, uint64_t> last;  // id -> offset of its last record
  for (const auto& [offset, id] : pass.check.new_marks) last[id] = offset;
  ScanExtras extras;
  extras.every = [&](const DataRecord& rec) {
    if (auto it = last.find(rec.id); it != last.end()) it->second = std::max(it->second, rec.offset);
  };
  auto end = data.scan_active([](DataRecord&) {}, nullptr, false, &extras);
  if (!end.ok()) return std::move(end).error();
  for (const auto& [offset, id] : pass.check.new_marks) {
    if (last[id] == offset && !log.mentions(id)) pass.unexplained.push_back(offset);
  }
  return pass;
}

Json data_report(const DataPass& pass) {
  const DataCheck& c = pass.check;
  std::optional<uint64_t> at = c.damage_at;
  std::string what = c.damage;
  if (!at && !pass.unexplained.empty()) {
    at = pass.unexplained.front();
    what = std::to_string(pass.unexplained.size()) +
           " records marked deleted since the last flush without a log entry or a later record to say so";
  }
  if (!at && !c.differ.empty()) {
    at = c.differ.front();
    what = std::to_string(c.differ.size()) + " records after the checked part differ from the log's entries for their ids";
  }
  Json r = Json::object();
  r["bytes"] = c.size;
  r["records"] = c.records;
  r["deleted"] = c.deleted.size();
  r["dimension"] = pass.dimension;
  r["whole"] = !at;
  r["damage"] = at ? Json(what) : Json();
  r["damage_offset"] = or_null(at);
  r["torn_tail"] = c.end >= c.covered ? c.size - c.end : 0;
  r["checksums"] = sum_state_name(c.state);
  r["covered"] = c.covered;
  r["damaged_blocks"] = c.bad_blocks.size();
  r["revived"] = c.revived.size();
  r["unexplained_marks"] = pass.unexplained.size();
  r["described_by_log"] = c.described;
  r["differ_from_log"] = c.differ.size();
  r["not_in_log"] = c.unmentioned.size();
  return r;
}

Json log_report(const WalScan& scan) {
  Json r = Json::object();
  r["bytes"] = scan.size;
  r["frames"] = scan.entries.size();
  r["whole"] = !scan.damage;
  r["damage"] = scan.damage ? Json(scan.damage->to_string()) : Json();
  r["damage_offset"] = scan.damage ? Json(scan.end_offset) : Json();
  r["torn_tail"] = scan.damage ? 0 : scan.size - scan.end_offset;
  return r;
}

Json sums_report(const std::optional<Result<SumFile>>& sums, const DataCheck* c) {
  Json r = Json::object();
  r["present"] = sums.has_value();
  r["state"] = c ? sum_state_name(c->state) : sums ? (sums->ok() ? "current" : "damaged") : "missing";
  r["problem"] = c && !c->sum_problem.empty() ? Json(c->sum_problem) : sums && !sums->ok() ? Json(sums->error().text()) : Json();
  return r;
}

// meta.json's part of verify (repair false) and repair: whether it reads,
// names a known metric and agrees with the records' dimension; rebuilt by
// repair when not.
Status meta_step(fs::FileSystem& fs, const std::string& dir, Json& report, uint64_t records_dimension, bool repair,
                 std::optional<uint64_t> dimension, std::optional<DistanceMetric> metric) {
  const std::string path = fs::join(dir, kMeta);
  Json m = Json::object();
  std::optional<CollectionMeta> meta;
  std::string problem;
  std::optional<DistanceMetric> known;
  std::optional<std::string> old_text;
  if (!fs.exists(path)) {
    problem = "missing";
  } else {
    auto text = fs.read_file(path);
    if (!text.ok()) return Error::collection("read meta failed: " + text.error().text());
    m["bytes"] = text->size();
    old_text = *text;
    auto parsed = is_valid_utf8(*text) ? parse_meta(*text) : Result<CollectionMeta>(Error::collection("not UTF-8"));
    if (parsed.ok()) meta = *parsed;
    for (DistanceMetric d : {DistanceMetric::Euclidean, DistanceMetric::Cosine, DistanceMetric::DotProduct}) {
      if (meta && meta->metric == metric_name(d)) known = d;
    }
    if (!parsed.ok()) {
      problem = "cannot be read: " + parsed.error().text();
    } else if (!known) {
      problem = "unknown metric \"" + meta->metric + "\"";
    } else if (records_dimension != 0 && meta->dimension != records_dimension) {
      problem = "dimension " + std::to_string(meta->dimension) + " disagrees with the records' (" +
                std::to_string(records_dimension) + ")";
    }
  }
  m["whole"] = problem.empty();
  m["damage"] = problem.empty() ? Json() : Json(problem);
  m["dimension"] = meta ? Json(meta->dimension) : Json();
  m["metric"] = meta ? Json(meta->metric) : Json();
  if (repair) m["rebuilt"] = false;
  if (!repair || problem.empty()) {
    report[kMeta] = std::move(m);
    return ok_status();
  }
  const uint64_t dim = dimension.value_or(records_dimension);
  if (dim == 0) return Error::collection("meta.json (" + problem + ") needs the dimension to be rebuilt");
  if (records_dimension != 0 && dim != records_dimension) {
    return Error::collection("dimension mismatch: the records have " + std::to_string(records_dimension) +
                             ", the argument says " + std::to_string(dim));
  }
  if (!metric) metric = known;
  // The one metric name the damaged text still holds.
  for (DistanceMetric d : {DistanceMetric::Euclidean, DistanceMetric::Cosine, DistanceMetric::DotProduct}) {
    if (old_text && old_text->find(metric_name(d)) != std::string::npos) metric = metric ? metric : d;
  }
  if (!metric) return Error::collection("meta.json (" + problem + ") needs the metric to be rebuilt");
  CollectionMeta rebuilt;
  rebuilt.dimension = dim;
  rebuilt.metric = std::string(metric_name(*metric));
  if (meta) rebuilt.vector_count = meta->vector_count, rebuilt.next_id = meta->next_id;
  auto text = render_meta(rebuilt);
  if (!text.ok()) return Error::collection("serialize meta failed: " + text.error().text());
  // Set aside whole, as the other files' damage is.
  if (old_text) {
    const std::string aside = std::string(kMeta) + kDamagedSuffix + "0";
    ORVEX_TRY(fs::replace_file(fs, fs::join(dir, aside), fs::join(dir, kMetaTemp), *old_text));
    m["set_aside"] = aside;
  }
  ORVEX_TRY(fs::replace_file(fs, path, fs::join(dir, kMetaTemp), *text));
  ORVEX_TRY(fs.sync_dir(dir));
  m["rebuilt"] = true;
  m["dimension"] = dim;
  m["metric"] = rebuilt.metric;
  report[kMeta] = std::move(m);
  return ok_status();
}

// Verify under a lock the caller holds.
Result<Json> verify_locked(fs::FileSystem& fs, const std::string& dir) {
  Json report = Json::object();
  auto log = Wal::scan(fs, fs::join(dir, kWal));
  if (!log.ok()) return std::move(log).error();
  report[kWal] = log_report(*log);
  const auto sums = read_sum_file(fs, dir);
  bool ok = !log->damage && !(sums && !sums->ok());
  uint64_t dimension = 0;
  std::optional<DataPass> pass;
  if (fs.exists(fs::join(dir, kData))) {
    auto data = DataFile::open_to_read(fs, fs::join(dir, kData));
    if (!data.ok()) return std::move(data).error();
    const LogIndex index(log->entries);
    auto read = read_data(**data, sums, index);
    if (!read.ok()) return std::move(read).error();
    pass = std::move(*read);
    report[kData] = data_report(*pass);
    ok = ok && report[kData]["whole"].get<bool>();
    dimension = pass->dimension;
  } else {
    report[kData] = Json::object({{"bytes", 0}, {"records", 0}, {"whole", true}, {"damage", nullptr}});
  }
  report[kSums] = sums_report(sums, pass ? &pass->check : nullptr);
  ORVEX_TRY(meta_step(fs, dir, report, dimension, false, std::nullopt, std::nullopt));
  ok = ok && report[kMeta]["whole"].get<bool>();
  report["ok"] = ok;
  return report;
}

// A name beside `file` for what is set aside from `offset` on, taken by no
// file yet.
std::string aside_name(fs::FileSystem& fs, const std::string& dir, const char* file, uint64_t offset) {
  const std::string base = std::string(file) + kDamagedSuffix + std::to_string(offset);
  std::string name = base;
  for (int n = 2; fs.exists(fs::join(dir, name)); ++n) name = base + "." + std::to_string(n);
  return name;
}

// Copies the byte ranges of `from` into the new file `name` of `dir`, synced
// with the directory's entry.
Status copy_aside(fs::FileSystem& fs, const std::string& dir, const std::string& from,
                  const std::vector<std::pair<uint64_t, uint64_t>>& ranges, const std::string& name) {
  auto in = fs.open(from, fs::OpenMode::ReadOnly);
  if (!in.ok()) return std::move(in).error();
  auto out = fs.open(fs::join(dir, name), fs::OpenMode::WriteCreateTruncate);
  if (!out.ok()) return std::move(out).error();
  std::string buf;
  for (const auto& [start, end] : ranges) {
    ORVEX_TRY((*in)->seek(start));
    for (uint64_t at = start; at < end;) {
      buf.resize(static_cast<size_t>(std::min<uint64_t>(end - at, 1 << 20)));
      ORVEX_TRY(fs::read_exact(**in, buf.data(), buf.size()));
      ORVEX_TRY((*out)->write(buf.data(), buf.size()));
      at += buf.size();
    }
  }
  ORVEX_TRY((*out)->sync());
  return fs.sync_dir(dir);
}

// The data file's part of a repair: records set aside, markers put back,
// the tail after the last whole record moved aside, the sums rewritten.
Result<Json> repair_data(fs::FileSystem& fs, const std::string& dir, const WalScan& log, uint64_t& dimension) {
  const bool frames_set_aside = log.end_offset < log.size;
  const std::string path = fs::join(dir, kData);
  auto data = DataFile::open(fs, path);
  if (!data.ok()) return std::move(data).error();
  const auto sums = read_sum_file(fs, dir);
  const LogIndex index(log.entries);
  auto read = read_data(**data, sums, index);
  if (!read.ok()) return std::move(read).error();
  const DataCheck& c = read->check;
  dimension = read->dimension;
  // Whether [start, end) meets a block whose sum differs.
  auto in_bad_block = [&](uint64_t start, uint64_t end) {
    auto block = std::upper_bound(c.bad_blocks.begin(), c.bad_blocks.end(), std::make_pair(start, UINT64_MAX));
    return (block != c.bad_blocks.end() && block->first < end) ||
           (block != c.bad_blocks.begin() && std::prev(block)->second > start);
  };

  // Live records in damaged blocks, and after the checked part those the
  // kept log does not describe (written for frames set aside or lost, or
  // damaged).
  std::vector<std::pair<uint64_t, uint64_t>> aside;
  uint64_t restored = 0;
  // Each record is judged once the next one (or the scan's end) tells where
  // it ends.
  std::optional<DataRecord> pending;
  auto judge = [&](const DataRecord& rec, uint64_t end) {
    if (rec.deleted) return;
    bool bad = in_bad_block(rec.offset, end);
    if (!bad && c.state == SumState::Current && rec.offset >= c.covered) {
      // A record the log does not mention was written for a frame being set
      // aside, or (with nothing set aside) by a writer that keeps no sums and
      // flushed since: only the first is set aside; the second is as good as
      // the file (a log cut exactly at a frame boundary looks the same).
      const auto m = index.match(rec, false);
      bad = m == LogIndex::Match::Unmentioned ? frames_set_aside : m != LogIndex::Match::Described;
    }
    if (!bad) return;
    aside.emplace_back(rec.offset, end);
    restored += index.mentions(rec.id);
  };
  ScanExtras extras;
  extras.every = [&](const DataRecord& rec) {
    if (pending) judge(*pending, rec.offset);
    pending = rec;
  };
  auto scanned = (*data)->scan_active([](DataRecord&) {}, nullptr, false, &extras);
  if (!scanned.ok()) return std::move(scanned).error();
  if (pending) judge(*pending, *scanned);

  Json r = Json::object();
  r["set_aside"] = nullptr;
  r["set_aside_records"] = aside.size();
  r["restored_from_log"] = restored;
  if (!aside.empty()) {
    const std::string name = aside_name(fs, dir, kData, aside.front().first);
    ORVEX_TRY(copy_aside(fs, dir, path, aside, name));
    std::vector<uint64_t> offsets;
    for (const auto& [start, end] : aside) offsets.push_back(start);
    ORVEX_TRY((*data)->mark_deleted_many(offsets));
    r["set_aside"] = name;
  }
  for (uint64_t offset : c.revived) ORVEX_TRY((*data)->write_marker(offset, 1));
  // A mark in a damaged block stays: the record is set aside either way
  // (and an interrupted repair made it).
  uint64_t unmarked = 0;
  for (uint64_t offset : read->unexplained) {
    if (in_bad_block(offset, offset + 1)) continue;
    ORVEX_TRY((*data)->write_marker(offset, 0));
    ++unmarked;
  }
  r["markers_restored"] = c.revived.size() + unmarked;
  r["cut_tail"] = nullptr;
  r["cut_bytes"] = c.size - c.end;
  if (c.end < c.size) {
    const std::string name = aside_name(fs, dir, kData, c.end);
    ORVEX_TRY(copy_aside(fs, dir, path, {{c.end, c.size}}, name));
    ORVEX_TRY((*data)->cut_to(c.end));
    r["cut_tail"] = name;
  }
  ORVEX_TRY((*data)->sync());

  // The sums of the file as it is now.
  auto now = check_data(**data, std::nullopt, index, [](DataRecord&) {}, false);
  if (!now.ok()) return std::move(now).error();
  auto identity = (*data)->identity();
  if (!identity.ok()) return std::move(identity).error();
  SumFile fresh{*identity, now->end, now->sums.sums(now->end), now->deleted};
  ORVEX_TRY(fs::replace_file(fs, fs::join(dir, kSums), fs::join(dir, kSumsTemp), encode_sums(fresh)));
  ORVEX_TRY(fs.sync_dir(dir));
  return r;
}

}  // namespace

Result<Json> verify_files(fs::FileSystem& fs, const std::string& dir) {
  auto lock = lock_existing(fs, dir);
  if (!lock.ok()) return std::move(lock).error();
  try {
    return verify_locked(fs, dir);
  } catch (const std::bad_alloc&) {
    return Error::io("verify failed: out of memory");
  }
}

Result<Json> repair_files(fs::FileSystem& fs, const std::string& dir, std::optional<uint64_t> dimension,
                          std::optional<DistanceMetric> metric) {
  auto lock = lock_existing(fs, dir);
  if (!lock.ok()) return std::move(lock).error();
  try {
    Json report = Json::object();
    const std::string wal_path = fs::join(dir, kWal);
    auto log = Wal::scan(fs, wal_path);
    if (!log.ok()) return std::move(log).error();
    // The data file first: its records written for frames about to be set
    // aside are known only while the log still holds them (a crash between
    // the two steps leaves them for the next run to find).
    uint64_t records_dimension = 0;
    if (fs.exists(fs::join(dir, kData))) {
      auto data = repair_data(fs, dir, *log, records_dimension);
      if (!data.ok()) return std::move(data).error();
      report[kData] = std::move(*data);
    }
    Json l = Json::object();
    l["kept_frames"] = log->entries.size();
    l["set_aside"] = nullptr;
    l["set_aside_bytes"] = log->size - log->end_offset;
    if (log->end_offset < log->size) {
      const std::string name = aside_name(fs, dir, kWal, log->end_offset);
      ORVEX_TRY(copy_aside(fs, dir, wal_path, {{log->end_offset, log->size}}, name));
      auto wal = Wal::open(fs, wal_path, 0);
      if (!wal.ok()) return std::move(wal).error();
      ORVEX_TRY((*wal)->cut_to(log->end_offset));
      l["set_aside"] = name;
    }
    report[kWal] = std::move(l);
    ORVEX_TRY(meta_step(fs, dir, report, records_dimension, true, dimension, metric));
    auto after = verify_locked(fs, dir);
    if (!after.ok()) return std::move(after).error();
    report["ok"] = (*after)["ok"];
    return report;
  } catch (const std::bad_alloc&) {
    return Error::io("repair failed: out of memory");
  }
}

}  // namespace orvex
