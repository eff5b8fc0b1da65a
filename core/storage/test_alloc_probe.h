// Replaces the global operator new of a test program so that tests can see
// the largest single allocation made since they reset it: proof that a
// stated length read from a file is never trusted before its bytes are there.
// Include from exactly one file of a test program.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

inline std::atomic<size_t> g_largest_alloc{0};

void* operator new(size_t n) {
  size_t prev = g_largest_alloc.load(std::memory_order_relaxed);
  while (n > prev && !g_largest_alloc.compare_exchange_weak(prev, n)) {
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace orvex::testing {

// The bytes of a little-endian value.
template <class T>
std::string le(T v) {
  return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

}  // namespace orvex::testing
