#include "promise.h"

#include <algorithm>
#include <limits>
#include <set>
#include <unordered_map>

#include "../storage/data_file.h"
#include "../storage/file.h"
#include "../storage/wal.h"

namespace orvex::testing {
namespace {

bool attempted(Outcome o) { return o != Outcome::NotRun; }

}  // namespace

std::string check_content(const Collection& coll, const std::vector<WorkStep>& steps, const Journal& journal) {
  std::string problems;
  auto problem = [&](const std::string& text) {
    if (problems.size() < 4000) problems += text + "\n";
  };

  // 1. What the collection holds: every id once, the step that wrote it
  // (its payload), and its vector exactly equal to that step's.
  const size_t dim = coll.config().dimension;
  const size_t len = coll.len();
  std::vector<float> origin(dim, 0.0f);
  auto all = coll.search(origin, len + 1);
  if (all.size() != len) problem("search returned " + std::to_string(all.size()) + " entries, len() is " + std::to_string(len));
  std::map<uint64_t, size_t> step_of;  // id -> step
  for (const SearchResult& r : all) {
    if (!r.payload || !r.payload->data.count("seq") || !r.payload->data.at("seq").is_number_unsigned()) {
      problem("id " + std::to_string(r.id) + " has no step number in its payload");
      continue;
    }
    const uint64_t seq = r.payload->data.at("seq").get<uint64_t>();
    if (!step_of.emplace(r.id, seq).second) problem("id " + std::to_string(r.id) + " appears twice");
    if (seq >= steps.size() || steps[seq].kind != WorkStep::Kind::Insert || steps[seq].id != r.id) {
      problem("id " + std::to_string(r.id) + " claims step " + std::to_string(seq) + ", which never inserted it");
      step_of.erase(r.id);
      continue;
    }
    if (!attempted(journal.outcome[seq])) {
      problem("id " + std::to_string(r.id) + " holds the vector of step " + std::to_string(seq) + ", never run");
    }
    bool exact = false;
    for (const SearchResult& near : coll.search(steps[seq].vector, 2, std::nullopt, false)) {
      if (near.id == r.id && near.distance == 0.0f) exact = true;
    }
    if (!exact) problem("id " + std::to_string(r.id) + " does not hold the exact vector of step " + std::to_string(seq));
  }

  // 2. Is there a prefix length j that explains it? Constraints:
  //    j >= synced, j > every observed step; j <= the next acknowledged
  //    insertion of an observed id after its observed step; j <= the first
  //    acknowledged insertion of an id that is absent.
  size_t lo = journal.synced;
  size_t hi = steps.size();
  std::string hi_reason;
  for (const auto& [id, seq] : step_of) lo = std::max(lo, seq + 1);
  std::unordered_map<uint64_t, bool> seen_acked;  // for absent ids: first acked insertion
  for (size_t k = 0; k < steps.size(); ++k) {
    const WorkStep& s = steps[k];
    if (s.kind != WorkStep::Kind::Insert || journal.outcome[k] != Outcome::Acked) continue;
    auto it = step_of.find(s.id);
    const bool binds = it == step_of.end() ? !seen_acked[s.id] : k > it->second;
    if (it == step_of.end()) seen_acked[s.id] = true;
    if (binds && k < hi) {
      hi = k;
      hi_reason = it == step_of.end() ? "id " + std::to_string(s.id) + " (acknowledged at step " + std::to_string(k) + ") is missing"
                                      : "id " + std::to_string(s.id) + " holds step " + std::to_string(it->second) +
                                            ", not the acknowledged step " + std::to_string(k);
    }
  }
  if (lo > hi) {
    problem("content is no prefix of the acknowledged insertions: it needs at least " + std::to_string(lo) +
            " steps (synced: " + std::to_string(journal.synced) + "), but " + hi_reason);
  }
  return problems;
}

std::string open_and_check(const std::string& path, const CollectionConfig& config,
                           const std::vector<WorkStep>& steps, const Journal& journal) {
  auto coll = Collection::open_or_create(path, config);
  if (!coll.ok()) return "the collection does not open: " + coll.error().to_string() + "\n";
  return check_content(**coll, steps, journal);
}

Tails inspect_tails(const std::string& dir) {
  Tails t;
  fs::FileSystem& real = fs::posix();
  const std::string wal_path = fs::join(dir, "wal.log");
  const std::string data_path = fs::join(dir, "data.ovx");
  auto size_of = [&](const std::string& p) -> uint64_t {
    auto f = real.open(p, fs::OpenMode::ReadOnly);
    if (!f.ok()) return 0;
    auto n = (*f)->size();
    return n.ok() ? *n : 0;
  };
  if (real.exists(wal_path)) {
    auto read = Wal::read_all(real, wal_path);
    if (read.ok() && read->end_offset < size_of(wal_path)) t.wal_torn = true;
  }
  if (real.exists(data_path)) {
    auto df = DataFile::open(real, data_path);
    if (df.ok()) {
      auto end = (*df)->scan_active([](DataRecord&) {});
      if (end.ok() && *end < size_of(data_path)) t.data_torn = true;
    }
  }
  return t;
}

}  // namespace orvex::testing
