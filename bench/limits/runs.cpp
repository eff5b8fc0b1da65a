// The AVX2 scan's hand-scheduled runs (core/index/runs_avx2.h) alone, beside
// the machine's peak (product, sum) loop: their share of the exact bounds
// with the group data in L2, as a long scan reads it within a cache tile.
// The runs and the peak loop take many short turns and each counts its best
// turn: on a shared core, figures taken minutes apart move by up to 40%.
// The Euclidean bound is two thirds of the pair rate (three operations a
// term, half on each kind of unit).
//
//   g++ -O2 -std=c++20 -mavx2 -mfma -Icore bench/limits/runs.cpp -o runs
// Prints one JSON object; bench/limits (python bench/limits) compiles and runs it.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "pair_loop.h"

namespace scan_runs {
typedef float V __attribute__((vector_size(32)));
#include "index/runs_avx2.h"
}  // namespace scan_runs

static double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int main() {
  using scan_runs::V;
  constexpr size_t kDim = 128, kGroups = 24, kQueries = 400, kTurns = 2000, kCalls = 2400;
  constexpr long kPairSteps = 600000;  // about as long as a turn of the runs
  // 24 groups of 16 vectors (component i of lane l of column b at 16 i + 8 b
  // + l): a 192 KiB tile, as the scan's.
  float* groups = static_cast<float*>(std::aligned_alloc(64, kGroups * 16 * kDim * sizeof(float)));
  std::vector<float> queries(kQueries * kDim);
  for (size_t i = 0; i < kGroups * 16 * kDim; ++i) groups[i] = static_cast<float>(rand() % 100) * 0.01f;
  for (float& x : queries) x = static_cast<float>(rand() % 100) * 0.01f;
  // Limits no total reaches (totals are below 1e30 and not negative), so
  // every call runs whole and no heap work is timed.
  const float never_dot[6] = {1e30f, 1e30f, 1e30f, 1e30f, 1e30f, 1e30f}, never_l2[4] = {-1, -1, -1, -1};
  alignas(32) V tot6[6][2], tot4[4][2];
  double best[3] = {};  // G pairs/s, G dot terms/s, G Euclidean terms/s
  unsigned passes = 0;
  for (size_t turn = 0; turn < kTurns; ++turn) {
    double t0 = cpu_now();
    pairs_avx2(kPairSteps, 1.0f);
    best[0] = std::max(best[0], kPairSteps * kPairsPerStep * 8.0 / (cpu_now() - t0));
    for (int kind = 1; kind <= 2; ++kind) {
      const int nq = kind == 1 ? 6 : 4;
      t0 = cpu_now();
      size_t q0 = 0;
      for (size_t call = 0; call < kCalls; ++call) {
        const size_t g = call % kGroups;
        if (g == 0) q0 = (q0 + nq) % (kQueries - nq);  // the next block of queries
        const float* q[6];
        for (int a = 0; a < nq; ++a) q[a] = queries.data() + (q0 + a) * kDim;
        const float* group = groups + g * 16 * kDim;
        passes += kind == 1 ? scan_runs::run_products_6x2(q, group, kDim / 16, never_dot, tot6)
                            : scan_runs::run_squares_4x2(q, group, kDim / 16, never_l2, tot4);
      }
      best[kind] = std::max(best[kind], kCalls * 16.0 * nq * kDim / (cpu_now() - t0));
    }
  }
  std::free(groups);
  std::printf("{\"pair_g\": %.3f, \"dot_terms_g\": %.3f, \"dot_share\": %.4f, \"l2_terms_g\": %.3f, "
              "\"l2_share\": %.4f, \"passes\": %u}\n",
              best[0] / 1e9, best[1] / 1e9, best[1] / best[0], best[2] / 1e9, best[2] / (best[0] * 2 / 3), passes);
  return 0;
}
