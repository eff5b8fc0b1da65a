// A small C++ driver for the index's scan kernels: single-query latency and
// batch throughput per kernel path, beside the machine's one-core memory
// bandwidth. The full comparison with other libraries is bench/search.py.
//
// Build (after building orvex_core into build/<dir>):
//   g++ -O2 -std=c++20 -Icore bench/kernel_bench.cpp build/<dir>/core/liborvex_core.a -o /tmp/kb
// Run: /tmp/kb [n] [d] [metric 0..3]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <ctime>
#include <vector>

#include "index/brute_force.h"
#include "index/dispatch.h"

using namespace orvex;
using Clock = std::chrono::steady_clock;

static double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU time of this thread: on a shared machine, time spent descheduled is
// not the kernel's.
static double thread_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const size_t d = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const auto metric = static_cast<DistanceMetric>(argc > 3 ? std::atoi(argv[3]) : 0);
  std::mt19937 rng(1);
  std::normal_distribution<float> normal;
  std::vector<float> data(n * d);
  for (float& x : data) x = normal(rng);

  // One-core read bandwidth over the same number of bytes.
  double bw = 0;
  {
    volatile float sink = 0;
    for (int rep = 0; rep < 3; ++rep) {
      auto t0 = Clock::now();
      float acc[16] = {};
      for (size_t i = 0; i + 16 <= data.size(); i += 16)
        for (int j = 0; j < 16; ++j) acc[j] += data[i + j];
      double s = seconds_since(t0);
      sink = acc[0] + acc[15];
      bw = std::max(bw, data.size() * 4.0 / s);
    }
    (void)sink;
  }
  std::printf("n=%zu d=%zu metric=%s  read bandwidth %.2f GB/s\n", n, d,
              std::string(metric_name(metric)).c_str(), bw / 1e9);

  BruteForceIndex index(metric, d);
  auto t0 = Clock::now();
  index.reserve(n);
  for (size_t i = 0; i < n; ++i) (void)index.insert(i, std::span<const float>(data.data() + i * d, d));
  double ins = seconds_since(t0);
  std::printf("insert: %.3f s, %.2f M vectors/s, %.2f GB/s\n", ins, n / ins / 1e6, n * d * 4.0 / ins / 1e9);

  const int single_reps = std::getenv("KB_REPS") ? std::atoi(std::getenv("KB_REPS")) : 41;
  std::vector<float> queries(1000 * d);
  for (float& x : queries) x = normal(rng);
  // Single queries: the paths and a plain read of the same bytes take turns,
  // so that all see the same state of a shared machine.
  {
    std::vector<KernelPath> paths;
    for (KernelPath p : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512})
      if (kernel_path_available(p)) paths.push_back(p);
    std::vector<std::vector<double>> times(paths.size() + 1);
    volatile float sink = 0;
    for (int r = 0; r < single_reps; ++r) {
      for (size_t i = 0; i < paths.size(); ++i) {
        set_kernel_path(paths[i]);
        auto t = Clock::now();
        auto res = index.search(std::span<const float>(queries.data() + (r % 1000) * d, d), 10, nullptr, false);
        times[i].push_back(seconds_since(t));
      }
      auto t = Clock::now();
      float acc[16] = {};
      for (size_t i = 0; i + 16 <= data.size(); i += 16)
        for (int j = 0; j < 16; ++j) acc[j] += data[i + j];
      sink = acc[0];
      times.back().push_back(seconds_since(t));
    }
    (void)sink;
    for (auto& t : times) std::sort(t.begin(), t.end());
    const double read_med = times.back()[single_reps / 2];
    std::printf("plain read of the same bytes: %.2f ms (%.2f GB/s)\n", read_med * 1e3, n * d * 4.0 / read_med / 1e9);
    for (size_t i = 0; i < paths.size(); ++i) {
      const double med = times[i][single_reps / 2];
      std::printf("path %d single: %.2f ms (%.2f GB/s, %.0f%% of the plain read)\n", static_cast<int>(paths[i]),
                  med * 1e3, n * d * 4.0 / med / 1e9, 100.0 * read_med / med);
    }
  }
  if (std::getenv("KB_SINGLE")) return 0;
  for (KernelPath p : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512}) {
    if (!set_kernel_path(p)) continue;
    if (const char* only = std::getenv("KB_PATH"); only && std::atoi(only) != static_cast<int>(p)) continue;
    const char* name = p == KernelPath::Portable ? "portable" : p == KernelPath::Avx2 ? "avx2" : "avx512";
    for (size_t nq : {size_t{100}, size_t{1000}}) {
      // Exact distances for every lane, then with Euclidean pruning, taking
      // turns; the two must return the same results.
      double s[2] = {1e30, 1e30};
      std::vector<std::vector<SearchResult>> res[2];
      for (int rep = 0; rep < 3; ++rep) {
        for (int pruned = 0; pruned < 2; ++pruned) {
          kernels::set_pruning(pruned == 1);
          const double t = thread_cpu_seconds();
          res[pruned] = index.search_batch(std::span<const float>(queries.data(), nq * d), nq, 10);
          s[pruned] = std::min(s[pruned], thread_cpu_seconds() - t);
        }
      }
      kernels::set_pruning(true);
      bool same = true;
      for (size_t i = 0; i < nq; ++i) {
        same &= res[0][i].size() == res[1][i].size();
        for (size_t j = 0; same && j < res[0][i].size(); ++j)
          same &= res[0][i][j].id == res[1][i][j].id && res[0][i][j].distance == res[1][i][j].distance;
      }
      for (int pruned = 0; pruned < 2; ++pruned)
        std::printf("%-8s batch %4zu%s: %.3f s cpu, %.1f queries/s, %.2f G terms/s\n", name, nq,
                    pruned ? " pruned" : " exact ", s[pruned], nq / s[pruned], nq * n * d / s[pruned] / 1e9);
      std::printf("%-8s batch %4zu: pruned/exact speed %.2fx, results %s\n", name, nq, s[0] / s[1],
                  same ? "identical" : "DIFFER");
    }
  }
  set_kernel_path(KernelPath::Auto);
  return 0;
}
