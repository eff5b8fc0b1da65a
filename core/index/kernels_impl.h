// The scan kernel, written once over a 16-lane float vector type and compiled
// by kernels_portable.cpp, kernels_avx2.cpp and kernels_avx512.cpp, each with
// its own instruction set and its own KERNEL_NAMESPACE. GCC lowers the
// 16-lane type to one zmm register, two ymm or four xmm registers.
//
// Include only from those three files, after defining KERNEL_NAMESPACE,
// KERNEL_SCAN (the exported scan function's name), KERNEL_MAX_NQ (queries per
// register block) and KERNEL_NG (groups per register block). Everything here
// has internal linkage; the only external symbol is KERNEL_SCAN.
//
// Arithmetic per lane, as defined for every metric: each block of 16 terms
// is summed left to right starting from its first term, the block sum is
// added to the running total (starting at +0.0), the tail terms are added
// one at a time; every product, difference and sum is rounded on its own.
// The files are compiled with -ffp-contract=off and none enables FMA code
// generation on its own, so no multiply-add is ever fused.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace orvex::kernels {
namespace KERNEL_NAMESPACE {
namespace {

typedef float V __attribute__((vector_size(64)));
typedef int32_t VI __attribute__((vector_size(64)));

inline V load(const float* p) {
  V v;
  __builtin_memcpy(&v, __builtin_assume_aligned(p, 64), sizeof v);
  return v;
}

inline V loadu(const float* p) {
  V v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

// Bit l set for every lane l whose int lane is negative (all ones).
inline unsigned sign_mask(VI m) {
#if defined(__AVX512F__)
  return static_cast<unsigned>(_mm512_movepi32_mask((__m512i)m));
#elif defined(__AVX2__)
  __m256 h[2];
  __builtin_memcpy(h, &m, sizeof h);
  return static_cast<unsigned>(_mm256_movemask_ps(h[0])) |
         (static_cast<unsigned>(_mm256_movemask_ps(h[1])) << 8);
#else
  __m128 h[4];
  __builtin_memcpy(h, &m, sizeof h);
  return static_cast<unsigned>(_mm_movemask_ps(h[0])) |
         (static_cast<unsigned>(_mm_movemask_ps(h[1])) << 4) |
         (static_cast<unsigned>(_mm_movemask_ps(h[2])) << 8) |
         (static_cast<unsigned>(_mm_movemask_ps(h[3])) << 12);
#endif
}

// Correctly rounded square root of every lane.
inline V vsqrt(V x) {
#if defined(__AVX512F__)
  return (V)_mm512_maskz_sqrt_ps(0xFFFF, (__m512)x);
#elif defined(__AVX2__)
  __m256 h[2];
  __builtin_memcpy(h, &x, sizeof h);
  h[0] = _mm256_sqrt_ps(h[0]);
  h[1] = _mm256_sqrt_ps(h[1]);
  V r;
  __builtin_memcpy(&r, h, sizeof r);
  return r;
#else
  __m128 h[4];
  __builtin_memcpy(h, &x, sizeof h);
  for (int i = 0; i < 4; ++i) h[i] = _mm_sqrt_ps(h[i]);
  V r;
  __builtin_memcpy(&r, h, sizeof r);
  return r;
#endif
}

// The term of component i: q*v, or (q-v)*(q-v) for Euclidean.
template <bool kSquares>
inline V term(float q, V v) {
  if constexpr (kSquares) {
    V d = q - v;
    return d * d;
  } else {
    return q * v;
  }
}

// Running totals of NQ queries against NG consecutive groups (group stride
// 16 * dim floats), in the defined order per lane.
template <int NQ, int NG, bool kSquares>
inline void block_sums(const float* const* q, const float* g, size_t dim, V (&total)[NQ][NG]) {
  const size_t stride = kGroup * dim;
#pragma GCC unroll 8
  for (int a = 0; a < NQ; ++a)
#pragma GCC unroll 8
    for (int b = 0; b < NG; ++b) total[a][b] = V{};
  const size_t blocks = dim / kGroup;
  size_t c = 0;
  for (size_t blk = 0; blk < blocks; ++blk, c += kGroup) {
    V s[NQ][NG];
#pragma GCC unroll 8
    for (int b = 0; b < NG; ++b) {
      const V x = load(g + b * stride + c * kGroup);
#pragma GCC unroll 8
      for (int a = 0; a < NQ; ++a) s[a][b] = term<kSquares>(q[a][c], x);
    }
#pragma GCC unroll 16
    for (size_t i = 1; i < kGroup; ++i) {
#pragma GCC unroll 8
      for (int b = 0; b < NG; ++b) {
        const V x = load(g + b * stride + (c + i) * kGroup);
#pragma GCC unroll 8
        for (int a = 0; a < NQ; ++a) s[a][b] = s[a][b] + term<kSquares>(q[a][c + i], x);
      }
    }
#pragma GCC unroll 8
    for (int a = 0; a < NQ; ++a)
#pragma GCC unroll 8
      for (int b = 0; b < NG; ++b) total[a][b] = total[a][b] + s[a][b];
  }
  for (; c < dim; ++c) {
#pragma GCC unroll 8
    for (int b = 0; b < NG; ++b) {
      const V x = load(g + b * stride + c * kGroup);
#pragma GCC unroll 8
      for (int a = 0; a < NQ; ++a) total[a][b] = total[a][b] + term<kSquares>(q[a][c], x);
    }
  }
}

// Lanes of group g that hold a stored vector and pass the filter.
inline unsigned live_lanes(const StoreView& st, size_t g) {
  const size_t first = g * kGroup;
  unsigned m = (st.n - first >= kGroup) ? 0xFFFFu : ((1u << (st.n - first)) - 1u);
  if (st.match) m &= st.match[g];
  return m;
}

// Offers the live lanes of one group's distances to a heap. A whole vector
// of distances is compared with the current worst before the heap is touched.
inline void select16(TopK& h, V dist, unsigned live, uint64_t slot0) {
  if (h.size >= h.cap) {
    const float worst = h.hits[0].distance;
    if (worst == worst) {
      live &= sign_mask(dist < worst);
    } else {
      live &= sign_mask(dist == dist);  // any number beats a NaN
    }
  }
  while (live) {
    const unsigned l = static_cast<unsigned>(__builtin_ctz(live));
    live &= live - 1;
    topk_offer(h, dist[l], slot0 + l);
  }
}

// Turns running totals into distances for the sum-based metrics.
inline V finish(DistanceMetric metric, V total, float qnorm, const float* vnorms) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return vsqrt(total);
    case DistanceMetric::DotProduct:
      return -total;
    default: {  // Cosine
      const V p = qnorm * loadu(vnorms);
      const V one = V{} + 1.0f;
      return (p == 0.0f) ? one : one - total / p;
    }
  }
}

template <int NQ, int NG, bool kSquares>
inline void scan_sums_block(const StoreView& st, const QueryBlock& qb, size_t q0, size_t g_begin,
                            size_t g_end) {
  const float* qs[NQ];
  for (int a = 0; a < NQ; ++a) qs[a] = qb.queries[q0 + a];
  const size_t gsize = kGroup * st.dim;
  size_t g = g_begin;
  if (!st.match) {
    for (; g + NG <= g_end; g += NG) {
      V tot[NQ][NG];
      block_sums<NQ, NG, kSquares>(qs, st.data + g * gsize, st.dim, tot);
      for (int b = 0; b < NG; ++b) {
        const unsigned live = live_lanes(st, g + b);
        for (int a = 0; a < NQ; ++a) {
          const float qn = st.norms ? qb.query_norms[q0 + a] : 0.0f;
          const float* vn = st.norms ? st.norms + (g + b) * kGroup : nullptr;
          select16(qb.heaps[q0 + a], finish(st.metric, tot[a][b], qn, vn), live,
                   (g + b) * kGroup);
        }
      }
    }
  }
  for (; g < g_end; ++g) {
    const unsigned live = live_lanes(st, g);
    if (!live) continue;  // nothing in this group passes the filter
    V tot[NQ][1];
    block_sums<NQ, 1, kSquares>(qs, st.data + g * gsize, st.dim, tot);
    for (int a = 0; a < NQ; ++a) {
      const float qn = st.norms ? qb.query_norms[q0 + a] : 0.0f;
      const float* vn = st.norms ? st.norms + g * kGroup : nullptr;
      select16(qb.heaps[q0 + a], finish(st.metric, tot[a][0], qn, vn), live, g * kGroup);
    }
  }
}

template <int NQ, bool kSquares>
inline void scan_sums(const StoreView& st, const QueryBlock& qb, size_t g_begin, size_t g_end) {
  size_t q0 = 0;
  for (; q0 + NQ <= qb.nq; q0 += NQ) scan_sums_block<NQ, KERNEL_NG, kSquares>(st, qb, q0, g_begin, g_end);
  if constexpr (NQ > 1) {
    const size_t rest = qb.nq - q0;
    if (rest == 0) return;
    QueryBlock tail{qb.queries + q0, qb.query_norms ? qb.query_norms + q0 : nullptr,
                    qb.heaps + q0, rest};
    scan_sums<(NQ > 1 ? NQ / 2 : 1), kSquares>(st, tail, g_begin, g_end);
  }
}

// Hamming: per lane, the number of components on which q and v fall on
// different sides of 0.5 (0.5 and NaN count as not set).
inline void scan_hamming(const StoreView& st, const QueryBlock& qb, size_t g_begin, size_t g_end) {
  const size_t gsize = kGroup * st.dim;
  constexpr size_t kChunk = size_t{1} << 30;  // int32 lanes never overflow
  for (size_t g = g_begin; g < g_end; ++g) {
    const unsigned live = live_lanes(st, g);
    if (!live) continue;
    const float* grp = st.data + g * gsize;
    for (size_t a = 0; a < qb.nq; ++a) {
      const float* q = qb.queries[a];
      V dist;
      if (st.dim <= kChunk) {
        VI cnt = VI{};
        for (size_t i = 0; i < st.dim; ++i) {
          VI diff = load(grp + i * kGroup) > 0.5f;
          if (q[i] > 0.5f) diff = ~diff;
          cnt -= diff;
        }
        dist = __builtin_convertvector(cnt, V);
      } else {
        uint64_t total[kGroup] = {};
        for (size_t c0 = 0; c0 < st.dim; c0 += kChunk) {
          const size_t c1 = (st.dim - c0 > kChunk) ? c0 + kChunk : st.dim;
          VI cnt = VI{};
          for (size_t i = c0; i < c1; ++i) {
            VI diff = load(grp + i * kGroup) > 0.5f;
            if (q[i] > 0.5f) diff = ~diff;
            cnt -= diff;
          }
          for (size_t l = 0; l < kGroup; ++l) total[l] += static_cast<uint32_t>(cnt[l]);
        }
        for (size_t l = 0; l < kGroup; ++l) dist[l] = static_cast<float>(total[l]);
      }
      select16(qb.heaps[a], dist, live, g * kGroup);
    }
  }
}

}  // namespace
}  // namespace KERNEL_NAMESPACE

void KERNEL_SCAN(const StoreView& store, const QueryBlock& block, size_t g_begin, size_t g_end) {
  using namespace KERNEL_NAMESPACE;
  switch (store.metric) {
    case DistanceMetric::Euclidean:
      scan_sums<KERNEL_MAX_NQ, true>(store, block, g_begin, g_end);
      break;
    case DistanceMetric::Cosine:
    case DistanceMetric::DotProduct:
      scan_sums<KERNEL_MAX_NQ, false>(store, block, g_begin, g_end);
      break;
    case DistanceMetric::Hamming:
      scan_hamming(store, block, g_begin, g_end);
      break;
  }
}

}  // namespace orvex::kernels
