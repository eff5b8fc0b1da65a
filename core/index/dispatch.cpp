#include "dispatch.h"

#include <atomic>

namespace orvex {

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
