#include "distance.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>

#include "index/kernels.h"

namespace orvex {

std::string_view metric_name(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return "Euclidean";
    case DistanceMetric::Cosine:
      return "Cosine";
    case DistanceMetric::DotProduct:
      return "DotProduct";
    case DistanceMetric::Hamming:
      return "Hamming";
  }
  return "Unknown";
}

namespace {

constexpr size_t kBlock = 16;

// The blocked sum of term(i) for i < n: blocks of 16 summed left to right
// into their own partial sum, each added to the total; the tail term by term.
template <class Term>
float blocked_sum(size_t n, Term term) {
  float total = 0.0f;
  const size_t blocks = n / kBlock;
  size_t i = 0;
  for (size_t b = 0; b < blocks; ++b) {
    float s = term(i);
    for (size_t j = 1; j < kBlock; ++j) s += term(i + j);
    total += s;
    i += kBlock;
  }
  for (; i < n; ++i) total += term(i);
  return total;
}

}  // namespace

float dot_product(std::span<const float> a, std::span<const float> b) {
  // Blocks over the shorter whole-block count, tail over the shorter tail;
  // callers pass equal lengths, where this is simply the common length.
  const size_t blocks = std::min(a.size() / kBlock, b.size() / kBlock);
  const size_t tail = std::min(a.size() % kBlock, b.size() % kBlock);
  const float* pa = a.data();
  const float* pb = b.data();
  float total = blocked_sum(blocks * kBlock, [&](size_t i) { return pa[i] * pb[i]; });
  const float* ta = pa + (a.size() / kBlock) * kBlock;
  const float* tb = pb + (b.size() / kBlock) * kBlock;
  for (size_t i = 0; i < tail; ++i) total += ta[i] * tb[i];
  return total;
}

float distance(DistanceMetric metric, std::span<const float> q, std::span<const float> v) {
  const size_t n = std::min(q.size(), v.size());
  const float* pq = q.data();
  const float* pv = v.data();
  switch (metric) {
    case DistanceMetric::Euclidean:
      return std::sqrt(blocked_sum(n, [&](size_t i) {
        const float d = pq[i] - pv[i];
        return d * d;
      }));
    case DistanceMetric::Cosine: {
      const float d = dot_product(q, v);
      const float p = std::sqrt(dot_product(q, q)) * std::sqrt(dot_product(v, v));
      if (p == 0.0f) return 1.0f;
      return 1.0f - d / p;
    }
    case DistanceMetric::DotProduct:
      return -dot_product(q, v);
    case DistanceMetric::Hamming: {
      uint64_t count = 0;
      for (size_t i = 0; i < n; ++i) count += (pq[i] > 0.5f) != (pv[i] > 0.5f);
      return static_cast<float>(count);
    }
  }
  return 0.0f;
}

// ---- kernel paths ---------------------------------------------------------

namespace {

bool cpu_has(KernelPath path) {
  switch (path) {
    case KernelPath::Auto:
    case KernelPath::Portable:
      return true;
    case KernelPath::Avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case KernelPath::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
  }
  return false;
}

KernelPath best_path() {
  if (cpu_has(KernelPath::Avx512)) return KernelPath::Avx512;
  if (cpu_has(KernelPath::Avx2)) return KernelPath::Avx2;
  return KernelPath::Portable;
}

std::atomic<KernelPath>& active_path() {
  static std::atomic<KernelPath> path{best_path()};
  return path;
}

}  // namespace

bool kernel_path_available(KernelPath path) { return cpu_has(path); }

bool set_kernel_path(KernelPath path) {
  if (!cpu_has(path)) return false;
  active_path().store(path == KernelPath::Auto ? best_path() : path, std::memory_order_relaxed);
  return true;
}

KernelPath active_kernel_path() { return active_path().load(std::memory_order_relaxed); }

namespace kernels {

ScanFn active_scan() {
  switch (active_kernel_path()) {
    case KernelPath::Avx512:
      return scan_avx512;
    case KernelPath::Avx2:
      return scan_avx2;
    default:
      return scan_portable;
  }
}

namespace {
std::atomic<bool>& pruning() {
  static std::atomic<bool> on{true};
  return on;
}
}  // namespace

PruneFn active_prune() {
  if (!pruning().load(std::memory_order_relaxed)) return nullptr;
  switch (active_kernel_path()) {
    case KernelPath::Avx512:
      return prune_avx512;
    case KernelPath::Avx2:
      return prune_avx2;
    default:
      return nullptr;
  }
}

void set_pruning(bool on) { pruning().store(on, std::memory_order_relaxed); }

}  // namespace kernels
}  // namespace orvex
