// Measures the two limits the search benchmark reads its figures against, on
// the core it runs on:
//   read_gbps       one-core memory read bandwidth: a vectorised sum over an
//                   array far larger than the caches (best of several passes)
//   mul_add_gpairs  compute bound without fused multiply-add: separate
//                   multiplications and additions on independent registers,
//                   in billions of (multiply, add) lane pairs per second, with
//                   the widest vectors the CPU offers
// Prints one JSON object. bench/search.py compiles and runs it.
//
//   g++ -O2 -std=c++20 -ffp-contract=off bench/machine_limits.cpp -o machine_limits
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// Thread CPU time: time spent descheduled on a shared machine is not counted.
struct CpuTime {
  double s;
};
static CpuTime cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return {ts.tv_sec + ts.tv_nsec * 1e-9};
}
static double seconds_since(CpuTime t0) { return cpu_now().s - t0.s; }

typedef float V16 __attribute__((vector_size(64)));
typedef float V8 __attribute__((vector_size(32)));

#define R12(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11)

__attribute__((target("avx2"), noinline)) static float read_sum_avx2(const float* p, size_t n) {
  V8 a0 = {}, a1 = {}, a2 = {}, a3 = {};
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
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

// Twelve independent multiply chains and twelve independent add chains of
// type V (the body is a macro so that it is compiled for each target).
#define MUL_ADD_BODY(V)                                                      \
  V one = {};                                                                \
  one += 1.0f;                                                               \
  R12(DECL)                                                                  \
  const V mm = one * 0.9999999f, aa = one * 1e-7f;                           \
  for (long it = 0; it < iters; ++it) {                                      \
    R12(STEP)                                                                \
  }                                                                          \
  V s = {};                                                                  \
  R12(SUM)                                                                   \
  return s[0];
#define DECL(i) auto m##i = one * (seed + i * 1e-7f); auto a##i = one * (seed * i);
#define STEP(i) m##i = m##i * mm; a##i = a##i + aa;
#define SUM(i) s = s + m##i + a##i;

__attribute__((target("avx512f"), noinline)) static float mul_add_avx512(long iters, float seed) {
  MUL_ADD_BODY(V16)
}
__attribute__((target("avx2"), noinline)) static float mul_add_avx2(long iters, float seed) {
  MUL_ADD_BODY(V8)
}

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const size_t n = mib * (1u << 20) / sizeof(float);
  std::vector<float> data(n, 1.0f);
  double best_read = 0;
  volatile float sink = 0;
  for (int rep = 0; rep < 4; ++rep) {
    auto t0 = cpu_now();
    sink = read_sum_avx2(data.data(), n);
    const double s = seconds_since(t0);
    if (rep > 0 && n * 4.0 / s > best_read) best_read = n * 4.0 / s;
  }
  const bool wide = __builtin_cpu_supports("avx512f");
  const long iters = 20000000;
  const int lanes = wide ? 16 : 8;
  double best_pairs = 0;
  for (int rep = 0; rep < 3; ++rep) {
    auto t0 = cpu_now();
    sink = wide ? mul_add_avx512(iters, static_cast<float>(argc)) : mul_add_avx2(iters, static_cast<float>(argc));
    const double s = seconds_since(t0);
    const double pairs = iters * 12.0 * lanes / s;
    if (pairs > best_pairs) best_pairs = pairs;
  }
  (void)sink;
  std::printf("{\"read_gbps\": %.3f, \"mul_add_gpairs\": %.3f, \"vector_bits\": %d}\n",
              best_read / 1e9, best_pairs / 1e9, lanes * 32);
  return 0;
}
