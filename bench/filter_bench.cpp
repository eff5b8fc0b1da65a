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
// Then the same with payload indexes on bucket and score ({"score": i % 1000}
// added: 0.1% equality, 1% range, and a 50% filter), the planner choosing and
// forced to gather or to mask, every branch checked against the unindexed
// results; and search_batch of 1000 queries with a 1% filter.
//
//   filter_bench [entries=1000000] [dimension=128] [queries=15] [batch=1000]
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
    p.data["score"] = static_cast<uint64_t>(i % 1000);
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
  cases.push_back({"0.1% score == 7", Filter::eq("score", 7), 0.001});
  cases.push_back({"1%   score < 10", Filter::lt("score", 10), 0.01});
  cases.push_back({"50%  bucket < 50", Filter::lt("bucket", 50), 0.5});

  std::printf("filter_bench: n=%zu d=%zu k=%llu queries=%zu (index built in %.1f s, with payloads)\n", n, d,
              static_cast<unsigned long long>(k), nq, build_s);
  std::printf("%-22s %9s %11s %11s %9s %14s\n", "filter", "matches", "cpu ms/q", "wall ms/q", "vs none",
              "match-only ms");

  // A payload per entry, held outside the index, to time the filter alone.
  std::vector<Payload> payloads(n);
  for (size_t i = 0; i < n; ++i) {
    payloads[i].data["bucket"] = static_cast<uint64_t>(i % 100);
    payloads[i].data["run"] = static_cast<uint64_t>(i * 100 / n);
    payloads[i].data["score"] = static_cast<uint64_t>(i % 1000);
  }

  double none_cpu = 0;
  bool sound = true;
  // The same searches without payload indexes (as before they existed),
  // then with indexes on bucket and score under each planner branch; every
  // branch must return what the unindexed search returns.
  struct Mode {
    const char* name;
    bool indexed;
    FilterPlan plan;
  };
  const Mode modes[] = {{"no index", false, FilterPlan::Auto}, {"indexed", true, FilterPlan::Auto},
                        {"gather", true, FilterPlan::Gather}, {"mask", true, FilterPlan::Mask}};
  std::vector<std::vector<std::vector<SearchResult>>> reference(cases.size());
  for (const Mode& mode : modes) {
    if (mode.indexed && index.indexes().empty()) {
      const auto i0 = Clock::now();
      if (!index.create_index("bucket").ok() || !index.create_index("score").ok()) return 1;
      const double built = std::chrono::duration<double>(Clock::now() - i0).count();
      for (const auto& [key, bytes] : index.index_memory())
        std::printf("index on %-6s built with the other in %.2f s: %.2f bytes per entry\n", key.c_str(), built,
                    double(bytes) / double(n));
    }
    index.set_filter_plan(mode.plan);
    std::printf("-- %s\n", mode.name);
    for (size_t ci = 0; ci < cases.size(); ++ci) {
      const Case& c = cases[ci];
      const Filter* f = c.filter ? &*c.filter : nullptr;
      if (!f && mode.indexed) continue;
      size_t matched = 0;
      std::vector<std::vector<SearchResult>> got(nq);
      const Timing t = time_per_query(nq, [&](size_t q) {
        got[q] = index.search(query(q), k, f, false);
        matched = got[q].size();
      });
      if (!f) none_cpu = t.cpu;
      const size_t want = std::min<size_t>(k, static_cast<size_t>(c.expected_share * n + 0.5));
      if (matched != want) sound = false;
      if (reference[ci].empty()) reference[ci] = got;
      for (size_t q = 0; q < nq; ++q) {
        if (got[q].size() != reference[ci][q].size()) sound = false;
        for (size_t i = 0; i < got[q].size() && i < reference[ci][q].size(); ++i)
          if (got[q][i].id != reference[ci][q][i].id || got[q][i].distance != reference[ci][q][i].distance)
            sound = false;
      }
      double match_only_ms = 0;
      if (f && !mode.indexed) {
        size_t count = 0;
        const Timing m = time_per_query(3, [&](size_t) {
          count = 0;
          for (const Payload& p : payloads) count += f->matches(p);
        });
        match_only_ms = m.cpu * 1e3;
        if (count != static_cast<size_t>(c.expected_share * n + 0.5)) sound = false;
      }
      if (!sound) std::printf("WARNING: %s / %s: wrong results\n", mode.name, c.name);
      std::printf("%-22s %8.1f%% %11.3f %11.3f %8.2fx %14.2f\n", c.name, c.expected_share * 100, t.cpu * 1e3,
                  t.wall * 1e3, none_cpu / t.cpu, match_only_ms);
    }
  }
  // search_batch of `batch` queries, one thread: unfiltered and bucket == 7.
  const size_t batch = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1000;
  if (batch > 0) {
    std::vector<float> many(batch * d);
    for (float& x : many) x = normal(rng);
    const Filter one = Filter::eq("bucket", 7);
    double times[3];
    std::vector<std::vector<SearchResult>> outs[3];
    const Filter* fs[3] = {nullptr, &one, &one};
    const FilterPlan plans[3] = {FilterPlan::Auto, FilterPlan::Auto, FilterPlan::Matcher};
    for (int i = 0; i < 3; ++i) {
      index.set_filter_plan(plans[i]);
      const double c0 = thread_cpu_seconds();
      outs[i] = index.search_batch(many, batch, k, fs[i], false, 1);
      times[i] = thread_cpu_seconds() - c0;
    }
    if (outs[1].size() != outs[2].size()) sound = false;
    for (size_t q = 0; q < outs[1].size(); ++q)
      for (size_t i = 0; i < outs[1][q].size(); ++i)
        if (outs[1][q][i].id != outs[2][q][i].id || outs[1][q][i].distance != outs[2][q][i].distance) sound = false;
    std::printf("search_batch %zu queries, 1 thread: none %.1f ms, 1%% bucket == 7 indexed %.1f ms (%.1fx), "
                "without index %.1f ms (%.1fx)\n",
                batch, times[0] * 1e3, times[1] * 1e3, times[0] / times[1], times[2] * 1e3, times[0] / times[2]);
  }
  std::printf("vs none: unfiltered time / this filter's time (above 1 = faster than no filter).\n");
  std::printf("match-only: the filter over %zu payloads held in a plain vector, no distance work.\n", n);
  if (!sound) {
    std::printf("WARNING: a filter returned a wrong number of results or matches\n");
    return 1;
  }
  return 0;
}
