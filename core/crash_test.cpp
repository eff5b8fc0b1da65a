// Crash tests of a Collection on the in-memory file system. A seeded workload
// runs while the tests take the disks a crash at each change could leave,
// inject I/O faults, or damage the files' ends. Each disk must open and keep
// the promise: its content (id -> vector) is what applying some prefix of the
// attempted insertions and deletions gives (a re-insert replacing), covering
// every synced step; acknowledged changes in it count, one that failed or was
// cut off by the crash may count or not (so no deleted id comes back). Then an insertion, a flush and a reopen must
// keep all of it and the new vector.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <iostream>
#include <random>
#include <set>
#include <sstream>

#include "collection.h"
#include "storage/data_file.h"
#include "storage/wal.h"
#include "testing/mem_fs.h"

namespace orvex {
namespace {

using testing::MemFs;
using testing::Op;
using testing::OpRecord;
using Hook = std::function<void(const OpRecord&)>;

const std::string kDir = "/db/c", kLog = kDir + "/wal.log", kData = kDir + "/data.ovx";
const bool kLong = getenv("ORVEX_LONG_TESTS") && std::string(getenv("ORVEX_LONG_TESTS")) != "0";

// kind: o(pen), i(nsert), b (an insertion in a batch: a run of them is one
// insert_batch call), d(elete), f(lush), x (compact) or c(lose). Component 0
// of a vector is the step number / 4.
struct Step { char kind; uint64_t id = 0; std::vector<float> vector; };
struct Workload { CollectionConfig config; std::vector<Step> steps; };
bool inserts(char kind) { return kind == 'i' || kind == 'b'; }

// Plan words: o, f, x, c, iN (N insertions), bN (a batch of N), dN (N
// deletions of inserted ids).
// An insertion at every 5th step re-inserts the third newest fresh id, at
// every 11th one of the first 16.
Workload make_workload(const std::string& plan, SyncMode mode, size_t dim, uint64_t seed) {
  Workload w{{dim, DistanceMetric::Euclidean, mode}, {}};
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> ids;
  std::istringstream words(plan);
  for (std::string word; words >> word;) {
    for (int n = word.size() > 1 ? std::stoi(word.substr(1)) : 1; n > 0; --n) {
      Step s{word[0]};
      const size_t k = w.steps.size();
      if (inserts(s.kind)) {
        s.id = k % 5 == 4 && ids.size() > 3    ? ids[ids.size() - 3]
               : k % 11 == 10 && !ids.empty() ? ids[rng() % std::min<size_t>(16, ids.size())]
                                              : ids.emplace_back(seed * 100000 + 3 * ids.size() + rng() % 3);
        for (size_t d = 0; d < dim; ++d) s.vector.push_back(d ? float(int(rng() % 17) - 8) / 4 : float(k) / 4);
      }
      if (s.kind == 'd') s.id = ids[rng() % ids.size()];
      w.steps.push_back(std::move(s));
    }
  }
  return w;
}

enum Outcome : char { kNotRun, kInFlight, kAcked, kFailed };
struct Journal { std::vector<Outcome> outcome; size_t synced = 0; };  // acknowledged steps before `synced` are durable

// Runs a workload, the journal current for on_change callbacks. A successful
// flush syncs all before it; so does a successful insertion in Always mode,
// and in Batch mode the 100th since the open or the last sync (not known
// again after a failed call). `fault` is armed from the first step on. A
// flush that succeeds after a failed sync of the data file fails the test.
struct Runner {
  MemFs& fs;
  const Workload& w;
  std::optional<testing::Fault> fault;
  uint64_t armed_at = 0;  // fs.count(fault->op) then
  Journal j;

  void run() {
    j.outcome.assign(w.steps.size(), kNotRun);
    std::unique_ptr<Collection> c;
    std::optional<size_t> unsynced;  // log entries since its last sync
    bool data_sync_failed = false;
    const SyncMode mode = w.config.sync_mode;
    for (size_t k = 0; k < w.steps.size(); ++k) {
      const char kind = w.steps[k].kind;
      if (k == 0 && fault) armed_at = fs.count(fault->op), fs.add_fault(*fault);
      if (!c && kind != 'o') continue;
      if (kind == 'b' && k > 0 && w.steps[k - 1].kind == 'b') continue;  // done with its batch
      j.outcome[k] = kInFlight;
      bool ok = true, synced = false;
      size_t batch_end = k + 1;
      if (kind == 'o') {
        auto opened = Collection::open_or_create(kDir, w.config, &fs);
        if ((ok = opened.ok())) c = std::move(*opened);
        unsynced = 0, data_sync_failed = false;
      } else if (kind == 'i') {
        ok = c->insert(w.steps[k].id, w.steps[k].vector, Payload{{{"seq", k}}}).ok();
        synced = ok && unsynced && (mode == SyncMode::Always || (mode == SyncMode::Batch && ++*unsynced == 100));
      } else if (kind == 'b') {  // one call; the log is forced at its end unless only flushes sync
        std::vector<uint64_t> ids;
        std::vector<float> rows;
        std::vector<Payload> payloads;
        for (; batch_end < w.steps.size() && w.steps[batch_end].kind == 'b'; ++batch_end) {}
        for (size_t i = k; i < batch_end; ++i) {
          j.outcome[i] = kInFlight;
          ids.push_back(w.steps[i].id);
          rows.insert(rows.end(), w.steps[i].vector.begin(), w.steps[i].vector.end());
          payloads.push_back(Payload{{{"seq", i}}});
        }
        ok = c->insert_batch(ids, rows, payloads, k % 3).ok();
        synced = ok && unsynced && mode != SyncMode::Manual;
      } else if (kind == 'd') {  // a deletion of an id not held logs nothing
        const Result<bool> held = c->remove(w.steps[k].id);
        ok = held.ok();
        synced = ok && held.value() && unsynced &&
                 (mode == SyncMode::Always || (mode == SyncMode::Batch && ++*unsynced == 100));
      } else if (kind == 'f' || kind == 'x') {
        synced = ok = kind == 'f' ? c->flush().ok() : c->compact().ok();
        if (ok && data_sync_failed) ADD_FAILURE() << "step " << k << ": a flush succeeded after a failed sync of the data file";
      } else {
        c.reset();
      }
      for (const OpRecord& r : fs.log()) data_sync_failed |= r.op == Op::Sync && r.error && r.path == kData;
      fs.clear_log();
      for (size_t i = k; i < batch_end; ++i) j.outcome[i] = ok ? kAcked : kFailed;
      if (!ok) unsynced.reset();
      if (synced) j.synced = batch_end, unsynced = 0;
    }
  }
};

// id -> step, from the payloads; what is wrong with the entries goes to `bad`.
std::map<uint64_t, uint64_t> content(const Collection& c, std::string& bad) {
  std::map<uint64_t, uint64_t> out;
  const auto all = c.search(std::vector<float>(c.config().dimension, 0.0f), c.len() + 1);
  if (all.size() != c.len()) bad += "search finds " + std::to_string(all.size()) + " entries, len() " + std::to_string(c.len()) + "\n";
  for (const SearchResult& r : all) {
    const Json* seq = r.payload && r.payload->data.count("seq") ? &r.payload->data.at("seq") : nullptr;
    if (!seq || !seq->is_number_unsigned() || !out.emplace(r.id, seq->get<uint64_t>()).second) {
      bad += "id " + std::to_string(r.id) + " is there twice or without its step\n";
    }
  }
  return out;
}

// The promise (see the top of this file); "" when it holds.
std::string check(const Collection& c, const Workload& w, const Journal& j, std::map<uint64_t, uint64_t>& held) {
  std::string bad;
  held = content(c, bad);
  size_t lo = j.synced, hi = w.steps.size();
  for (const auto& [id, k] : held) {
    const bool known = k < w.steps.size() && inserts(w.steps[k].kind) && w.steps[k].id == id && j.outcome[k] != kNotRun;
    const Filter step = Filter::eq("seq", k);
    const auto hit = known ? c.search(w.steps[k].vector, 1, &step, false) : std::vector<SearchResult>{};
    if (hit.size() != 1 || hit[0].id != id || hit[0].distance != 0.0f) bad += "id " + std::to_string(id) + " holds no vector an attempted step gave it\n";
    if (known) lo = std::max<size_t>(lo, k + 1);
  }
  // The first step a prefix cannot include: an acknowledged insertion whose
  // id is older or missing (unless a deletion attempted after it may explain
  // that), or an acknowledged deletion whose id is still there from before.
  for (size_t k = 0; k < hi; ++k) {
    const Step& s = w.steps[k];
    const auto it = held.find(s.id);
    if (s.kind == 'd' && j.outcome[k] == kAcked && it != held.end() && it->second < k) hi = k;
    if (!inserts(s.kind) || j.outcome[k] != kAcked || (it != held.end() && it->second >= k)) continue;
    size_t d = k + 1;
    while (d < w.steps.size() && !(w.steps[d].kind == 'd' && w.steps[d].id == s.id)) ++d;
    if (it != held.end() || d == w.steps.size() || j.outcome[d] == kNotRun) hi = k;
  }
  if (lo <= hi) return bad;
  return bad + "no prefix of the insertions: it needs " + std::to_string(lo) + " steps (" + std::to_string(j.synced) +
         " synced), but step " + std::to_string(hi) + " is missing or replaced\n";
}

// Opens a disk a crash left (calling `during_open` at each change the opening
// makes) and checks the promise; then inserts, flushes and reopens.
// A reader opened on the disk first must hold what the writer's open finds
// (or refuse), and follow it through its recovery.
uint64_t g_readers_opened = 0;
std::string recover(MemFs& disk, const Workload& w, const Journal& j, Hook during_open = nullptr) {
  const size_t untouched = disk.fingerprint();
  auto reader = Collection::open_read_only(kDir, &disk);
  std::string bad = disk.fingerprint() == untouched ? "" : "a reader changed the directory\n";
  g_readers_opened += reader.ok();
  disk.on_change(std::move(during_open));
  auto c = Collection::open_or_create(kDir, w.config, &disk);
  disk.on_change(nullptr);
  if (!c.ok()) return "does not open: " + c.error().to_string();
  std::map<uint64_t, uint64_t> held;
  bad += check(**c, w, j, held);
  std::string ignored;
  if (reader.ok() && content(**reader, ignored) != held) bad += "a reader holds other than the writer's open\n";
  const uint64_t fresh = uint64_t{1} << 40;  // no workload's id
  held[fresh] = w.steps.size();
  const bool inserted = (*c)->insert(fresh, std::vector<float>(w.config.dimension, -1.0f), Payload{{{"seq", held[fresh]}}}).ok();
  if (!inserted || !(*c)->flush().ok()) return bad + "an insertion or flush after recovery failed\n";
  if (reader.ok() && (!(*reader)->refresh().ok() || content(**reader, ignored) != held)) {
    bad += "a reader does not follow the writer through its recovery\n";
  }
  c->reset();
  auto again = Collection::open_or_create(kDir, w.config, &disk);
  if (!again.ok()) return bad + "reopening after recovery failed: " + again.error().to_string();
  if (content(**again, bad) != held) bad += "the insertion after recovery, or what recovery found, is lost after a reopen\n";
  return bad;
}

// Where the last whole log frame or data record ends, as the storage's own
// readers find it: the one place these tests use storage internals.
uint64_t whole_end(MemFs& disk, const std::string& path) {
  if (path == kLog) {
    auto read = Wal::read_all(disk, path);
    return read.ok() ? read->end_offset : 0;
  }
  auto end = DataFile::open(disk, path).value()->scan_active([](DataRecord&) {});
  return end.ok() ? *end : 0;
}

// Recovers disks, each once per journal, and gathers the failures.
struct Tally {
  std::set<std::tuple<size_t, std::string, size_t, bool>> seen;
  uint64_t disks = 0, torn = 0;  // torn: disks whose log or data file ends in a torn write
  std::vector<std::string> failures;

  void check(MemFs& disk, const Workload& w, const Journal& j, const std::string& where, Hook during_open = nullptr) {
    if (!seen.emplace(disk.fingerprint(), std::string(j.outcome.begin(), j.outcome.end()), j.synced, !!during_open).second) return;
    ++disks;
    for (const std::string& path : {kLog, kData}) torn += disk.exists(path) && whole_end(disk, path) < disk.contents(path).size();
    // No crash leaves damage: verify finds at most torn tails (once the collection exists).
    if (disk.exists(kDir + "/meta.json")) {
      auto report = Collection::verify(kDir, &disk);
      // The write-ahead rule: every record past what the sums cover is described by a durable frame.
      if (!report.ok() || !(*report)["ok"].get<bool>() || (*report)["data.ovx"].value("not_in_log", 0) != 0) {
        failures.push_back(where + ": verify: " + (report.ok() ? report->dump() : report.error().to_string()));
      }
    }
    if (std::string bad = recover(disk, w, j, std::move(during_open)); !bad.empty()) failures.push_back(where + ": " + bad);
  }
  void report(const std::string& what) {
    std::cout << "[figures] " << what << ": " << disks << " disks (" << torn << " torn files), readers opened on "
              << std::exchange(g_readers_opened, 0) << ", " << failures.size() << " failures\n";
    for (size_t i = 0; i < std::min<size_t>(5, failures.size()); ++i) ADD_FAILURE() << failures[i];
  }
};

// Power loss at every change `at` accepts; after a log write (any change in long
// runs) also a process crash, then power loss at each change of its recovery.
void lose_power(const Workload& w, Tally& t, const std::function<bool(const OpRecord&)>& at) {
  MemFs fs;
  Runner run{fs, w};
  uint64_t changes = 0;
  fs.on_change([&](const OpRecord& rec) {
    if (!at(rec)) return;
    const Journal j = run.j;
    const std::string where = "power loss at change " + std::to_string(++changes) + " (" + rec.path + ")";
    for (auto& disk : fs.after_power_loss(kLong ? 6 : 0, changes)) t.check(*disk, w, j, where);
    if (!kLong && (rec.op != Op::Write || rec.path != kLog)) return;
    auto crashed = fs.after_process_crash();
    t.check(*crashed, w, j, where + ", process crash", [&](const OpRecord&) {
      for (auto& disk : crashed->after_power_loss(kLong ? 6 : 0, changes)) t.check(*disk, w, j, where + ", process crash, power loss in recovery");
    });
  });
  run.run();
}

TEST(CrashTest, PowerLossAtEveryChangeAlsoDuringRecovery) {
  Tally t;
  for (uint64_t seed = 1; seed <= (kLong ? 4u : 1u); ++seed) {
    lose_power(make_workload("o i150 f i120 d30 b80 x i40 c o d10 i60 f i30", SyncMode::Batch, 8, seed), t,
               [](const OpRecord&) { return true; });
  }
  t.report("power loss");
  EXPECT_GT(t.torn, 0u);
  // Records waiting for a log only flush syncs (Manual mode) must force it once
  // more than 4 MiB of them wait, before they go out: otherwise re-inserted ids
  // among them come back older after a power loss.
  Tally big;
  lose_power(make_workload("o i20 c o i280", SyncMode::Manual, 4096, 7), big,
             [](const OpRecord& r) { return r.op == Op::Write && r.path == kData && r.bytes.size() >= (1u << 20); });
  big.report("power loss, 4 MiB waiting");
  EXPECT_GT(big.disks, 0u);
  // A batch by the bulk path, in chunks of 256 KiB, between a small one and
  // deletions: power loss at each large write and at every sync.
  Workload w = make_workload("o b10 c o b400 d5 b30", SyncMode::Batch, 1024, 8);
  w.config.bulk_bytes = 1 << 20, w.config.bulk_chunk_bytes = 256 << 10;
  Tally bulk;
  lose_power(w, bulk, [](const OpRecord& r) {
    return r.op == Op::Sync || (r.op == Op::Write && r.bytes.size() >= (256u << 10));
  });
  bulk.report("power loss, bulk batches");
  EXPECT_GT(bulk.disks, 10u);
}

class IoFaults : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

// The n-th operation of a kind fails, EIO and ENOSPC in turn, for every n:
// the fault fires, no flush succeeds after a failed sync of the data file,
// and the promise holds after a process crash (a one-off fault loses nothing
// acknowledged) and after a power loss, creation included (a creation that
// fails must not leave a directory entry that no later opening syncs).
TEST_P(IoFaults, FireAndThePromiseHolds) {
  const auto [name, persistent] = GetParam();
  const std::string kind = name;
  const Op op = kind.ends_with("write") ? Op::Write : kind == "sync" ? Op::Sync : kind == "rename" ? Op::Rename : Op::Open;
  // The batch of 60 takes the bulk path in chunks of 1 KiB, that of 10 the log.
  Workload w = make_workload("o i150 f i120 d20 b60 x c o i90 d20 b10", SyncMode::Batch, 8, 3);
  w.config.bulk_bytes = 2048, w.config.bulk_chunk_bytes = 1024;
  MemFs dry;
  Runner probe{dry, w, testing::Fault{op, UINT64_MAX}};
  probe.run();
  const uint64_t total = dry.count(op) - probe.armed_at, stride = kLong ? 1 : std::max<uint64_t>(1, total / 40);
  Tally t;
  for (uint64_t n = 1; n <= total; n += stride) {
    MemFs fs;
    const auto cut = kind == "short_write" ? std::optional<size_t>(n % 7 + 1) : std::nullopt;
    Runner run{fs, w, testing::Fault{op, n, n % 2 ? EIO : ENOSPC, persistent, cut}};
    const std::string where = kind + (persistent ? " from #" : " at #") + std::to_string(n);
    SCOPED_TRACE(where);
    run.run();
    EXPECT_GT(fs.faults_fired(), 0u);
    Journal all = run.j;
    if (!persistent) all.synced = w.steps.size();
    t.check(*fs.after_process_crash(), w, all, where + ", process crash");
    for (auto& disk : fs.after_power_loss()) t.check(*disk, w, run.j, where + ", power loss");
  }
  t.report(kind + (persistent ? " persistent" : " once"));
}

INSTANTIATE_TEST_SUITE_P(Ops, IoFaults,
                         ::testing::Combine(::testing::Values("write", "short_write", "sync", "rename", "open"), ::testing::Bool()),
                         [](const auto& info) { return std::string(std::get<0>(info.param)) + (std::get<1>(info.param) ? "_persistent" : "_once"); });

// Every cut of the log's last frame and the data file's last record, garbage
// after them (zero and 0xFF bytes, frame lengths 0 and 0xFFFFFFFF, records
// stating 2^32-1 components or payload bytes), a flipped checksum: the open
// yields a prefix and goes on working, or refuses with the log's exact error.
// Each case runs in a child under a 1 GiB address-space limit (not under the
// sanitizers); there an open whose cutting of a torn tail fails must fail.
TEST(CrashTest, TornAndDamagedTails) {
  const Workload w = make_workload("o i40 f i30 c", SyncMode::Batch, 8, 5);
  MemFs fs;
  std::string flushed;  // the data file as the flush forced it: the log's entries are not in it
  fs.on_change([&](const OpRecord& r) { flushed = r.op == Op::Sync && r.path == kData ? fs.contents(kData) : flushed; });
  Runner run{fs, w};
  run.run();
  const std::string log = fs.contents(kLog), data = fs.contents(kData), meta = fs.contents(kDir + "/meta.json");
  fs.put(kLog, log.substr(0, log.size() - 1)), fs.put(kData, data.substr(0, data.size() - 1));
  const size_t frame = whole_end(fs, kLog), record = whole_end(fs, kData);  // where the last ones start
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  uint32_t crc;
  log.copy(reinterpret_cast<char*>(&crc), 4, frame);
  std::vector<std::tuple<std::string, std::string, std::string>> cases;  // log, data, the log's error
  for (size_t cut = frame; cut < log.size(); ++cut) cases.push_back({log.substr(0, cut), flushed, ""});
  for (size_t cut = record; cut < data.size(); ++cut) cases.push_back({log, data.substr(0, cut), ""});
  for (size_t n : {1, 8, 9, 5000}) {
    for (char c : {'\0', '\xff'}) cases.push_back({log + std::string(n, c), flushed, ""}), cases.push_back({log, data + std::string(n, c), ""});
  }
  cases.push_back({log + u32(0) + u32(0) + "x", flushed, "deserialization failed: expected `{` at offset 0"});
  cases.push_back({log + u32(7) + u32(0), flushed, "checksum mismatch: expected 7, got 0"});
  cases.push_back({log + u32(7) + u32(0xFFFFFFFF) + "{", flushed, ""});
  cases.push_back({log.substr(0, frame) + u32(crc ^ 1) + log.substr(frame + 4), flushed,
                   "checksum mismatch: expected " + std::to_string(crc ^ 1) + ", got " + std::to_string(crc)});
  cases.push_back({log, data + '\0' + u32(9) + u32(0) + u32(0xFFFFFFFF) + "abc", ""});
  cases.push_back({log, data + '\0' + u32(9) + u32(0) + u32(0) + u32(0xFFFFFFFF) + "{", ""});
  auto child = [&](size_t i) {
    const auto& [l, d, refusal] = cases[i];
    if (const rlimit limit{1u << 30, 1u << 30}; !ORVEX_SANITIZED) setrlimit(RLIMIT_AS, &limit);
    MemFs disk;
    disk.put(kDir + "/meta.json", meta), disk.put(kLog, l), disk.put(kData, d);
    const bool torn = refusal.empty() && (whole_end(disk, kLog) < l.size() || whole_end(disk, kData) < d.size());
    auto faulty = disk.after_process_crash();
    faulty->add_fault({Op::Truncate, 1, i % 2 ? EIO : ENOSPC, i % 4 > 1});
    const bool opened = Collection::open_or_create(kDir, w.config, faulty.get()).ok();
    std::string out = (faulty->faults_fired() > 0) != torn || (torn && opened) ? "the torn tail was not cut, or opened uncut\n" : "";
    out += recover(disk, w, run.j);
    std::fputs(out.c_str(), stderr);
    _exit(out == (refusal.empty() ? "" : "does not open: WAL corrupted: " + refusal) ? 0 : 1);
  };
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EXIT(child(i), ::testing::ExitedWithCode(0), "") << "case " << i;
}

}  // namespace
}  // namespace orvex

namespace orvex {
namespace {

// id -> vector of what opens, or the error.
std::string opened(MemFs& disk, const CollectionConfig& config) {
  auto c = Collection::open_or_create(kDir, config, &disk);
  if (!c.ok()) return "does not open: " + c.error().to_string();
  std::ostringstream out;
  const std::vector<uint64_t> ids = (*c)->ids().value();
  for (uint64_t id : ids) {
    std::vector<float> v;
    Payload p;
    (void)(*c)->get(id, &v, &p);
    out << id << ':' << v[0] << ' ';
  }
  return out.str();
}

// A log damaged in its middle and a data file damaged in its covered part:
// power loss at every change repair makes (each file synced, with all, none
// or a torn part of its later writes) leaves a directory that repair, run
// again, brings to what one uninterrupted repair gives.
TEST(CrashTest, PowerLossDuringRepair) {
  const Workload w = make_workload("o i40 f i30 c", SyncMode::Batch, 8, 9);
  MemFs fs;
  Runner{fs, w}.run();
  std::string log = fs.contents(kLog), data = fs.contents(kData);
  log[log.size() / 2] ^= 8, data[data.size() / 3] ^= 8;
  fs.put(kLog, log), fs.put(kData, data);
  auto once = fs.after_process_crash();
  ASSERT_TRUE(Collection::repair(kDir, std::nullopt, std::nullopt, once.get()).ok());
  const std::string want = opened(*once, w.config);
  ASSERT_EQ(want.find("does not open"), std::string::npos) << want;

  auto disk = fs.after_process_crash();
  uint64_t changes = 0, disks = 0;
  std::vector<std::string> failures;
  disk->on_change([&](const OpRecord&) {
    ++changes;
    for (auto& lost : disk->after_power_loss()) {
      ++disks;
      auto again = Collection::repair(kDir, std::nullopt, std::nullopt, lost.get());
      const std::string got = again.ok() ? opened(*lost, w.config) : "repair fails: " + again.error().to_string();
      if (got != want) failures.push_back("change " + std::to_string(changes) + ": " + got);
    }
  });
  ASSERT_TRUE(Collection::repair(kDir, std::nullopt, std::nullopt, disk.get()).ok());
  disk->on_change(nullptr);
  std::cout << "[figures] power loss during repair: " << changes << " changes, " << disks << " disks, "
            << failures.size() << " failures\n";
  EXPECT_GT(changes, 5u);
  for (size_t i = 0; i < std::min<size_t>(5, failures.size()); ++i) ADD_FAILURE() << failures[i];
}

}  // namespace
}  // namespace orvex
