#include "workload.h"

#include <unistd.h>

#include <random>
#include <sstream>
#include <utility>

namespace orvex::testing {
namespace {

bool ends_with(const std::string& s, const char* tail) {
  const std::string t(tail);
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

}  // namespace

CollectionConfig test_config() {
  CollectionConfig c;
  c.dimension = 8;
  c.metric = DistanceMetric::Euclidean;
  c.sync_mode = SyncMode::Batch;
  return c;
}

std::vector<WorkStep> make_workload(uint64_t seed, size_t dimension, const std::string& plan) {
  std::mt19937_64 rng(seed);
  std::vector<WorkStep> steps;
  std::vector<uint64_t> used;
  uint64_t fresh = 1 + (seed % 1000) * 1000;
  std::istringstream words(plan);
  std::string w;
  while (words >> w) {
    WorkStep s;
    switch (w[0]) {
      case 'o': s.kind = WorkStep::Kind::Open; steps.push_back(s); break;
      case 'f': s.kind = WorkStep::Kind::Flush; steps.push_back(s); break;
      case 'c': s.kind = WorkStep::Kind::Close; steps.push_back(s); break;
      case 'i': {
        const size_t n = std::stoul(w.substr(1));
        for (size_t k = 0; k < n; ++k) {
          WorkStep ins;
          ins.kind = WorkStep::Kind::Insert;
          if (!used.empty() && rng() % 10 == 0) {
            ins.id = used[rng() % used.size()];
          } else {
            ins.id = fresh;
            fresh += 1 + rng() % 3;
            used.push_back(ins.id);
          }
          // Component 0 is unique per step; the others are multiples of 1/64
          // in [-8, 8]: all exact in float32, so distances between distinct
          // vectors never round to 0.
          ins.vector.resize(dimension);
          for (size_t d = 0; d < dimension; ++d) {
            ins.vector[d] = d == 0 ? static_cast<float>(steps.size()) * 0.25f
                                   : static_cast<float>(static_cast<int>(rng() % 1025) - 512) / 64.0f;
          }
          steps.push_back(std::move(ins));
        }
        break;
      }
      default: break;
    }
  }
  return steps;
}

Journal Journal::as_of(uint64_t ops) const {
  Journal j;
  j.outcome.assign(outcome.size(), Outcome::NotRun);
  for (size_t k = 0; k < outcome.size(); ++k) {
    if (k >= start_seq.size() || outcome[k] == Outcome::NotRun) continue;
    if (end_seq[k] <= ops) {
      j.outcome[k] = outcome[k];
    } else if (start_seq[k] < ops) {
      j.outcome[k] = Outcome::InFlight;
    }
  }
  for (const auto& [seq, prefix] : sync_points) {
    if (seq <= ops && prefix > j.synced) j.synced = prefix;
  }
  return j;
}

Journal parse_journal(const std::string& text, size_t steps) {
  Journal j;
  j.outcome.assign(steps, Outcome::NotRun);
  std::istringstream in(text);
  char what;
  size_t value;
  while (in >> what >> value) {
    if (what == 'Y') {
      if (value > j.synced) j.synced = value;
      continue;
    }
    if (value >= steps) continue;
    if (what == 'S') j.outcome[value] = Outcome::InFlight;
    if (what == 'A') j.outcome[value] = Outcome::Acked;
    if (what == 'F') j.outcome[value] = Outcome::Failed;
  }
  return j;
}

WorkloadRunner::WorkloadRunner(fs::FaultFs& fs, std::string path, CollectionConfig config)
    : fs_(fs), path_(std::move(path)), config_(config) {}

void WorkloadRunner::note(char what, size_t value) {
  if (journal_fd_ < 0) return;
  std::string line = std::string(1, what) + " " + std::to_string(value) + "\n";
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(journal_fd_, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

Journal WorkloadRunner::run(const std::vector<WorkStep>& steps) {
  fs_.set_hook([this](fs::HookPoint point, const fs::OpRecord& rec) -> int {
    if (rec.seq + 1 > next_seq_) next_seq_ = rec.seq + 1;
    if (point == fs::HookPoint::After) {
      if (rec.error != 0) {
        const size_t slash = rec.path.rfind('/');
        fs_errors_.push_back(std::string(fs::op_name(rec.op)) + " " +
                             (slash == std::string::npos ? rec.path : rec.path.substr(slash + 1)));
      }
      if (rec.op == fs::Op::Sync && ends_with(rec.path, "/wal.log") && rec.error == 0) wal_synced_ = true;
      if (rec.op == fs::Op::Sync && ends_with(rec.path, "/data.ovx") && rec.error != 0) data_sync_failed_ = true;
    }
    return user_hook_ ? user_hook_(point, rec) : 0;
  });

  Journal j;
  j.outcome.assign(steps.size(), Outcome::NotRun);
  j.start_seq.assign(steps.size(), 0);
  j.end_seq.assign(steps.size(), 0);
  j.fs_errors.assign(steps.size(), {});
  std::unique_ptr<Collection> coll;
  size_t synced = 0;

  auto finish = [&](size_t k, bool ok) {
    j.outcome[k] = ok ? Outcome::Acked : Outcome::Failed;
    j.end_seq[k] = next_seq_;
    j.fs_errors[k] = fs_errors_;
    note(ok ? 'A' : 'F', k);
  };
  auto mark_synced = [&](size_t prefix) {
    synced = prefix;
    j.synced = prefix;
    j.sync_points.emplace_back(next_seq_, prefix);
    note('Y', prefix);
  };

  for (size_t k = 0; k < steps.size(); ++k) {
    const WorkStep& s = steps[k];
    j.start_seq[k] = next_seq_;
    wal_synced_ = false;
    fs_errors_.clear();
    note('S', k);
    switch (s.kind) {
      case WorkStep::Kind::Open: {
        data_sync_failed_ = false;  // a new object starts afresh
        auto opened = Collection::open_or_create(path_, config_, &fs_);
        finish(k, opened.ok());
        if (!opened.ok()) {
          fs_.set_hook(nullptr);
          return j;
        }
        coll = std::move(opened).value();
        break;
      }
      case WorkStep::Kind::Insert: {
        Payload p;
        p.data["seq"] = static_cast<uint64_t>(k);
        const bool ok = coll && coll->insert(s.id, s.vector, std::move(p)).ok();
        finish(k, ok);
        if (ok && wal_synced_) mark_synced(k + 1);
        break;
      }
      case WorkStep::Kind::Flush: {
        const bool failed_before = data_sync_failed_;
        const bool ok = coll && coll->flush().ok();
        finish(k, ok);
        if (ok && failed_before) {
          j.violations.push_back("flush at step " + std::to_string(k) +
                                 " reported success after a failed sync of the data file");
        }
        if (ok) mark_synced(k + 1);
        break;
      }
      case WorkStep::Kind::Close:
        coll.reset();
        finish(k, true);
        break;
    }
  }
  coll.reset();
  fs_.set_hook(nullptr);
  (void)synced;
  return j;
}

}  // namespace orvex::testing
