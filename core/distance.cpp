#include "distance.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

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

std::optional<DistanceMetric> metric_named(std::string_view name) {
  for (DistanceMetric m : {DistanceMetric::Euclidean, DistanceMetric::Cosine, DistanceMetric::DotProduct,
                           DistanceMetric::Hamming}) {
    if (metric_name(m) == name) return m;
  }
  return std::nullopt;
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

}  // namespace orvex
