// Filtered search over BruteForceIndex: what a payload filter costs and saves.
//
// The index holds n random vectors (standard normal, Euclidean) with payload
// {"bucket": i % 100, "run": i * 100 / n}. For a set of random queries
// (k = 10) it times
//   none         no filter
//   1%           bucket == 7               (matches 1 entry in 100, spread:
//                                           about 1 group of 16 in 6 holds one)
//   1% run       run == 7                  (1 entry in 100, all in one run)
//   10%          bucket < 10               (matches 1 in 10)
//   all (gte)    bucket >= 0               (matches everything: lookup + compare)
//   all (exists) bucket exists             (matches everything: lookup only)
//   none (0)     bucket == 1000            (matches nothing)
// and prints the median time per query, its ratio to the unfiltered search,
// and, for the filters, the time spent deciding which entries match alone
// (the filter run over every payload, with no distance work; the index
// itself decides from its per-key columns, see the 0% line). Times are the
// thread's CPU time, steadier than wall time on a shared machine; the wall
// time is printed beside it. Prints figures; checks nothing timed.
//
//   filter_bench [entries=1000000] [dimension=128] [queries=15]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "filter.h"
#include "index/brute_force.h"

namespace {

using namespace orvex;
using Clock = std::chrono::steady_clock;

double thread_cpu_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Timing {
  double cpu = 0;   // median seconds of CPU time per call
  double wall = 0;  // median seconds of wall time per call
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Median CPU and wall time of fn(q) over every query, after one warm-up call.
Timing time_per_query(size_t nq, const std::function<void(size_t)>& fn) {
  fn(0);
  std::vector<double> cpu, wall;
  for (size_t q = 0; q < nq; ++q) {
    const double c0 = thread_cpu_seconds();
    const auto w0 = Clock::now();
    fn(q);
    wall.push_back(std::chrono::duration<double>(Clock::now() - w0).count());
    cpu.push_back(thread_cpu_seconds() - c0);
  }
  return {median(cpu), median(wall)};
}

struct Case {
  const char* name;
  std::optional<Filter> filter;
  double expected_share;  // of the entries that match
};

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const size_t d = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const size_t nq = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 15;
  const uint64_t k = 10;

  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  BruteForceIndex index(DistanceMetric::Euclidean, d);
  index.reserve(n);
  std::vector<float> row(d);
  const auto build0 = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    for (float& x : row) x = normal(rng);
    Payload p;
    p.data["bucket"] = static_cast<uint64_t>(i % 100);
    p.data["run"] = static_cast<uint64_t>(i * 100 / n);
    if (auto s = index.insert(i, row, std::move(p)); !s.ok()) {
      std::fprintf(stderr, "insert failed: %s\n", s.error().to_string().c_str());
      return 1;
    }
  }
  const double build_s = std::chrono::duration<double>(Clock::now() - build0).count();
  std::vector<float> queries(nq * d);
  for (float& x : queries) x = normal(rng);
  auto query = [&](size_t q) { return std::span<const float>(queries.data() + q * d, d); };

  std::vector<Case> cases;
  cases.push_back({"none", std::nullopt, 1.0});
  cases.push_back({"1%   bucket == 7", Filter::eq("bucket", 7), 0.01});
  cases.push_back({"1%   run == 7", Filter::eq("run", 7), 0.01});
  cases.push_back({"10%  bucket < 10", Filter::lt("bucket", 10), 0.10});
  cases.push_back({"all  bucket >= 0", Filter::gte("bucket", 0), 1.0});
  cases.push_back({"all  bucket exists", Filter::exists("bucket"), 1.0});
  cases.push_back({"0%   bucket == 1000", Filter::eq("bucket", 1000), 0.0});

  std::printf("filter_bench: n=%zu d=%zu k=%llu queries=%zu (index built in %.1f s, with payloads)\n", n, d,
              static_cast<unsigned long long>(k), nq, build_s);
  std::printf("%-22s %9s %11s %11s %9s %14s\n", "filter", "matches", "cpu ms/q", "wall ms/q", "vs none",
              "match-only ms");

  // A payload per entry, held outside the index, to time the filter alone.
  std::vector<Payload> payloads(n);
  for (size_t i = 0; i < n; ++i) {
    payloads[i].data["bucket"] = static_cast<uint64_t>(i % 100);
    payloads[i].data["run"] = static_cast<uint64_t>(i * 100 / n);
  }

  double none_cpu = 0;
  bool sound = true;
  for (const Case& c : cases) {
    const Filter* f = c.filter ? &*c.filter : nullptr;
    size_t matched = 0;
    const Timing t = time_per_query(nq, [&](size_t q) {
      auto r = index.search(query(q), k, f, false);
      matched = r.size();
    });
    if (!f) none_cpu = t.cpu;
    // Every result must satisfy the filter and there must be min(k, matches).
    const size_t want = std::min<size_t>(k, static_cast<size_t>(c.expected_share * n + 0.5));
    if (matched != want) sound = false;

    double match_only_ms = 0;
    if (f) {
      size_t count = 0;
      const Timing m = time_per_query(3, [&](size_t) {
        count = 0;
        for (const Payload& p : payloads) count += f->matches(p);
      });
      match_only_ms = m.cpu * 1e3;
      if (count != static_cast<size_t>(c.expected_share * n + 0.5)) sound = false;
    }
    std::printf("%-22s %8.0f%% %11.2f %11.2f %8.2fx %14.2f\n", c.name, c.expected_share * 100, t.cpu * 1e3,
                t.wall * 1e3, none_cpu / t.cpu, match_only_ms);
  }
  std::printf("vs none: unfiltered time / this filter's time (above 1 = faster than no filter).\n");
  std::printf("match-only: the filter over %zu payloads held in a plain vector, no distance work.\n", n);
  if (!sound) {
    std::printf("WARNING: a filter returned a wrong number of results or matches\n");
    return 1;
  }
  return 0;
}
