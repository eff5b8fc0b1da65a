// Measures the limits the search benchmark reads its figures against:
//   read_gbps      one-core memory read bandwidth: a vectorised sum over an
//                  array far larger than the caches (best of several passes)
//   add_g, mul_g   lane operations per second of independent additions and
//                  of independent multiplications alone
//   pair_g         (multiply, add) lane pairs per second when both run
//                  together: the bound of an exact dot product, one product
//                  and one sum per term, each rounded on its own
//   fma_g          fused multiply-adds per second (what a kernel that fuses
//                  its products into its sums could reach; not ours)
//   l2_terms_g     the bound of an exact Euclidean term: a subtraction, a
//                  product and a sum, each rounded on its own, with the
//                  subtractions split between the add units and the multiply
//                  units (there as fma(v, -1, q), exactly q - v). That is
//                  three operations, half of them on each kind of unit: the
//                  mix of a pair, so 2 pair_g / 3 terms per second (never
//                  above (add_g + mul_g) / 3). Where both kinds of unit
//                  cannot run at full rate together, pair_g says so.
//   pair_g_all     pair_g summed over one thread per core the process may
//                  use, all running at once (cores may share a physical core)
// Every figure uses the widest vectors the CPU offers and keeps its chains in
// registers: 12 chains and two constants on AVX2 (16 registers), 24 on
// AVX-512 (32). The pairs (pair_loop.h) are built as a kernel's are: each
// product independent of the others, the sums in ten chains, more than an
// addition's latency needs. Pairs from chains of products as well
// leave no slack on AVX2 (six of each kind take exactly the 3-cycle latency
// per step): on a busy shared core they read up to 30% below the rate a
// kernel's loop reaches.
// Prints one JSON object; bench/limits (python bench/limits) compiles and runs it.
//
//   g++ -O2 -std=c++20 -ffp-contract=off -pthread bench/limits/machine.cpp -o machine
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "pair_loop.h"

// Thread CPU time: time spent descheduled on a shared machine is not counted.
static double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

typedef float V16 __attribute__((vector_size(64)));
typedef float V8 __attribute__((vector_size(32)));

__attribute__((target("avx2"), noinline)) static float read_sum_avx2(const float* p, size_t n) {
  V8 a0 = {}, a1 = {}, a2 = {}, a3 = {};
  for (size_t i = 0; i + 32 <= n; i += 32) {
    V8 x0, x1, x2, x3;
    std::memcpy(&x0, p + i, 32);
    std::memcpy(&x1, p + i + 8, 32);
    std::memcpy(&x2, p + i + 16, 32);
    std::memcpy(&x3, p + i + 24, 32);
    a0 += x0;
    a1 += x1;
    a2 += x2;
    a3 += x3;
  }
  V8 s = a0 + a1 + a2 + a3;
  return s[0] + s[7];
}

enum Mix { kAdd, kMul, kPair, kFma };

#define R6(X) X(0) X(1) X(2) X(3) X(4) X(5)
#define R12(X) R6(X) X(6) X(7) X(8) X(9) X(10) X(11)

// 2C independent chains (C multiply chains m and C add chains a) for `iters`
// steps of the mix: additions, multiplications or fmas alone, on all 2C
// (pairs: pair_loop.h). The asm barrier keeps every
// chain in its register and stops the compiler from folding steps.
#define LOOP(R, BODY, KEEP) \
  for (long it = 0; it < iters; ++it) { R(BODY) R(KEEP) }
#define CHAINS(V, R, KEEP, FMA)                                               \
  V one = {};                                                                 \
  one += 1.0f;                                                                \
  const V mm = one * 0.9999999f, aa = one * 1e-7f;                            \
  R(DECL)                                                                     \
  switch (mix) {                                                              \
    case kAdd: LOOP(R, ADD2, KEEP) break;                                     \
    case kMul: LOOP(R, MUL2, KEEP) break;                                     \
    default: break;                                                           \
    case kFma: LOOP(R, FMA, KEEP) break;                                      \
  }                                                                           \
  V s = {};                                                                   \
  R(SUM)                                                                      \
  return s[0];
#define DECL(i) auto m##i = one * (seed + i * 1e-7f); auto a##i = one * (seed * i);
#define ADD2(i) a##i = a##i + aa; m##i = m##i + aa;
#define MUL2(i) a##i = a##i * mm; m##i = m##i * mm;
#define FMA256(i) a##i = __builtin_ia32_vfmaddps256(a##i, mm, aa); m##i = __builtin_ia32_vfmaddps256(m##i, mm, aa);
#define FMA512(i) a##i = __builtin_ia32_vfmaddps512_mask(a##i, mm, aa, 0xFFFF, 4); \
  m##i = __builtin_ia32_vfmaddps512_mask(m##i, mm, aa, 0xFFFF, 4);
#define KEEP256(i) asm volatile("" : "+x"(m##i), "+x"(a##i));
#define KEEP512(i) asm volatile("" : "+v"(m##i), "+v"(a##i));
#define SUM(i) s = s + m##i + a##i;

__attribute__((target("avx2,fma"), noinline)) static float chains_avx2(Mix mix, long iters, float seed) {
  CHAINS(V8, R6, KEEP256, FMA256)
}
__attribute__((target("avx512f"), noinline)) static float chains_avx512(Mix mix, long iters, float seed) {
  CHAINS(V16, R12, KEEP512, FMA512)
}

// Lane operations per second of one short turn of `mix` on this thread
// (pairs for kPair).
static double turn(Mix mix, bool wide, float seed) {
  const long iters = 2000000;
  // Operations per step (pairs for kPair): one per chain.
  const int chains = mix == kPair ? kPairsPerStep : (wide ? 12 : 6) * 2, lanes = wide ? 16 : 8;
  volatile float sink = 0;
  const double t0 = cpu_now();
  if (mix == kPair) {
    wide ? pairs_avx512(iters, seed) : pairs_avx2(iters, seed);
  } else {
    sink = wide ? chains_avx512(mix, iters, seed) : chains_avx2(mix, iters, seed);
  }
  (void)sink;
  return static_cast<double>(iters) * chains * lanes / (cpu_now() - t0);
}

// The best of many short turns of each mix, the mixes taking turns: a shared
// core has quiet moments, and slow spells that may last a second and slow
// the pair mix most.
constexpr int kTurns = 40;
static void best_rates(const Mix* mixes, int count, bool wide, double* best) {
  for (int rep = 0; rep < kTurns; ++rep) {
    for (int m = 0; m < count; ++m) best[m] = std::max(best[m], turn(mixes[m], wide, 1.0f + rep));
  }
}

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const size_t n = mib * (1u << 20) / sizeof(float);
  std::vector<float> data(n, 1.0f);
  double best_read = 0;
  volatile float sink = 0;
  for (int rep = 0; rep < 4; ++rep) {
    const double t0 = cpu_now();
    sink = read_sum_avx2(data.data(), n);
    const double s = cpu_now() - t0;
    if (rep > 0) best_read = std::max(best_read, n * 4.0 / s);
  }
  (void)sink;
  const bool wide = __builtin_cpu_supports("avx512f");
  const Mix mixes[4] = {kAdd, kMul, kPair, kFma};
  double best[4] = {};
  best_rates(mixes, 4, wide, best);
  const double add = best[0], mul = best[1], pair = best[2], fma = best[3];

  // Every core at once, each thread pinned to its own.
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  sched_getaffinity(0, sizeof allowed, &allowed);
  std::vector<int> cpus;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &allowed)) cpus.push_back(c);
  std::vector<double> rates(cpus.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < cpus.size(); ++i) {
    threads.emplace_back([&, i] {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpus[i], &one);
      sched_setaffinity(0, sizeof one, &one);
      const Mix pair_only[1] = {kPair};
      best_rates(pair_only, 1, wide, &rates[i]);
    });
  }
  double all = 0;
  for (size_t i = 0; i < threads.size(); ++i) {
    threads[i].join();
    all += rates[i];
  }
  std::printf(
      "{\"read_gbps\": %.3f, \"add_g\": %.3f, \"mul_g\": %.3f, \"pair_g\": %.3f, \"fma_g\": %.3f, "
      "\"l2_terms_g\": %.3f, \"pair_g_all\": %.3f, \"cores\": %zu, \"vector_bits\": %d}\n",
      best_read / 1e9, add / 1e9, mul / 1e9, pair / 1e9, fma / 1e9,
      std::min(2 * pair, add + mul) / 3 / 1e9, all / 1e9, cpus.size(), wide ? 512 : 256);
  return 0;
}
