// Damage at every byte of a small collection's files (a flipped bit, a
// zeroed byte, a cut), then verify, open and repair on the in-memory file
// system: verify finds every damage that changes what opening gives; opening
// never gives a vector or an id the collection did not hold; repair keeps
// every log frame before the first damaged one, revives no deleted id, and
// leaves a directory that opens.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "collection.h"
#include "testing/mem_fs.h"

namespace orvex {
namespace {

using testing::MemFs;
using Content = std::map<uint64_t, std::vector<float>>;

const std::string kDir = "/db/c";
const CollectionConfig kConfig{2, DistanceMetric::Euclidean, SyncMode::Batch};

// One change: a deletion when the vector is empty.
struct Change { uint64_t id; std::vector<float> vector; };

Content apply(Content c, const Change& ch) {
  if (ch.vector.empty()) c.erase(ch.id);
  else c[ch.id] = ch.vector;
  return c;
}

Result<Content> open_content(MemFs& fs) {
  auto c = Collection::open_or_create(kDir, kConfig, &fs);
  if (!c.ok()) return std::move(c).error();
  Content out;
  const std::vector<uint64_t> ids = (*c)->ids().value();
  for (uint64_t id : ids) {
    std::vector<float> v;
    Payload p;
    (void)(*c)->get(id, &v, &p);
    out[id] = v;
  }
  return out;
}

bool within(const Content& part, const Content& whole) {
  for (const auto& [id, v] : part) {
    if (!whole.count(id) || whole.at(id) != v) return false;
  }
  return true;
}

struct Damage { std::string file; size_t at; char kind; };  // f(lip), z(ero), c(ut)

TEST(Damage, AtEveryByteVerifyFindsItOpenNeverLiesRepairKeepsThePrefix) {
  // Flushed: 24 insertions, 3 deletions, a re-insertion. Then logged (and
  // written out at the close): more insertions, deletions, re-insertions.
  MemFs fs;
  std::vector<Change> flushed, logged;
  for (uint64_t id = 1; id <= 24; ++id) flushed.push_back({id, {float(id), 1}});
  for (uint64_t id : {5, 9, 13}) flushed.push_back({id, {}});
  flushed.push_back({2, {2, 2}});
  for (uint64_t id = 25; id <= 30; ++id) logged.push_back({id, {float(id), 1}});
  logged.insert(logged.end(), {{7, {}}, {4, {4, 3}}, {25, {}}, {31, {31, 1}}});
  Content at_flush;
  {
    auto c = Collection::open_or_create(kDir, kConfig, &fs).value();
    auto run = [&](const Change& ch) {
      ASSERT_TRUE(ch.vector.empty() ? c->remove(ch.id).ok() : c->insert(ch.id, ch.vector).ok());
    };
    for (const Change& ch : flushed) run(ch), at_flush = apply(at_flush, ch);
    ASSERT_TRUE(c->flush().ok());
    for (const Change& ch : logged) run(ch);
  }
  // state[k]: after the first k frames of the log (the first starts its
  // generation and changes nothing).
  std::vector<Content> state{at_flush, at_flush};
  for (const Change& ch : logged) state.push_back(apply(state.back(), ch));
  ASSERT_EQ(open_content(*fs.after_process_crash()).value(), state.back());
  std::set<std::pair<uint64_t, std::vector<float>>> pairs;
  for (const Content& s : state) pairs.insert(s.begin(), s.end());
  const std::string log = fs.contents(kDir + "/wal.log");
  std::vector<size_t> frame_end;  // where each frame ends
  for (size_t at = 0; at < log.size();) {
    uint32_t len;
    std::memcpy(&len, log.data() + at + 4, 4);
    frame_end.push_back(at += 8 + len);
  }
  ASSERT_EQ(frame_end.size(), logged.size() + 1);

  std::vector<Damage> cases;
  for (const std::string file : {"wal.log", "data.ovx", "meta.json"}) {
    for (size_t at = 0; at < fs.contents(kDir + "/" + file).size(); ++at) {
      for (char kind : {'f', 'z', 'c'}) cases.push_back({file, at, kind});
    }
  }
  size_t refused = 0, found = 0, failures = 0;
  for (const Damage& d : cases) {
    const std::string path = kDir + "/" + d.file;
    std::string bytes = fs.contents(path);
    if (d.kind == 'f') bytes[d.at] ^= char(1 << (d.at % 8));
    if (d.kind == 'z' && bytes[d.at] == 0) continue;
    if (d.kind == 'z') bytes[d.at] = 0;
    if (d.kind == 'c') bytes.resize(d.at);
    auto disk = fs.after_process_crash();
    disk->put(path, bytes);
    const std::string where = d.file + " " + d.kind + " at " + std::to_string(d.at);
    auto fail = [&](const std::string& what) {
      if (++failures <= 10) ADD_FAILURE() << where << ": " << what;
    };

    auto report = Collection::verify(kDir, disk.get());
    if (!report.ok()) {
      fail("verify failed: " + report.error().to_string());
      continue;
    }
    const bool seen = !(*report)["ok"].get<bool>() || (*report)["wal.log"]["torn_tail"] != 0 ||
                      (*report)["data.ovx"].value("torn_tail", 0) != 0;
    auto opened = open_content(*disk->after_process_crash());
    refused += !opened.ok();
    if (opened.ok() && std::any_of(opened->begin(), opened->end(), [&](const auto& p) { return !pairs.count(p); })) {
      fail("opening gives what the collection never held");
    }
    // A cut at a frame boundary cannot be told from a shorter log.
    const bool boundary = d.file == "wal.log" && d.kind == 'c' &&
                          (d.at == 0 || std::find(frame_end.begin(), frame_end.end(), d.at) != frame_end.end());
    if (!opened.ok() || *opened != state.back()) {
      found += seen;
      if (!seen && !boundary) fail("verify finds nothing, yet opening " + std::string(opened.ok() ? "differs" : "fails"));
    }

    // The metric is given when damage reached its name in meta.json.
    const size_t name = fs.contents(kDir + "/meta.json").find("Euclidean");
    const bool named = d.file == "meta.json" && d.at < name + 9 && (d.kind == 'c' || d.at >= name);
    auto repaired = Collection::repair(kDir, std::nullopt, named ? std::optional(kConfig.metric) : std::nullopt, disk.get());
    if (!repaired.ok()) {
      fail("repair failed: " + repaired.error().to_string());
      continue;
    }
    auto after = open_content(*disk);
    if (!after.ok()) {
      fail("does not open after repair: " + after.error().to_string() + repaired->dump());
      continue;
    }
    if (d.file == "wal.log") {
      // Every frame before the damaged one is kept, nothing after it.
      const size_t k = std::upper_bound(frame_end.begin(), frame_end.end(), d.at) - frame_end.begin();
      if (*after != (boundary && opened.ok() ? *opened : state[k]))
        fail("repair does not give the state before frame " + std::to_string(k));
    } else if (!within(*after, state.back())) {
      fail("repair gives a vector or id the collection did not hold");
    } else if (d.file == "meta.json" && *after != state.back()) {
      fail("repairing meta.json lost vectors");
    }
    if (!Collection::verify(kDir, disk.get()).value()["ok"].get<bool>()) fail("verify finds damage after repair");
  }
  std::cout << "[figures] " << cases.size() << " damaged copies: opening refused " << refused << ", " << found
            << " changes found by verify, " << failures << " failures\n";
}

// A writer that keeps no sums (an older version) flushed after the sums were
// written: its records past the covered length are in no log, and read as
// unchecked, not as damage; repair keeps them.
TEST(Damage, SumsLeftBehindByAWriterWithoutThemReadAsStaleNotDamage) {
  MemFs fs;
  std::string old_sums;
  Content want;
  {
    auto c = Collection::open_or_create(kDir, kConfig, &fs).value();
    for (uint64_t id = 1; id <= 20; ++id) {
      if (id == 11) {
        ASSERT_TRUE(c->flush().ok());
        old_sums = fs.contents(kDir + "/data.ovx.sum");
      }
      want[id] = {float(id), 0};
      ASSERT_TRUE(c->insert(id, want[id]).ok());
    }
    ASSERT_TRUE(c->flush().ok());
  }
  auto disk = fs.after_process_crash();
  disk->put(kDir + "/data.ovx.sum", old_sums);
  const Json report = Collection::verify(kDir, disk.get()).value();
  EXPECT_TRUE(report["ok"].get<bool>()) << report.dump();
  EXPECT_EQ(report["data.ovx"]["not_in_log"], 10) << report.dump();
  EXPECT_EQ(open_content(*disk->after_process_crash()).value(), want);
  ASSERT_TRUE(Collection::repair(kDir, std::nullopt, std::nullopt, disk.get()).ok());
  EXPECT_EQ(open_content(*disk).value(), want);
}

}  // namespace
}  // namespace orvex
