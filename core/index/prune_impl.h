// The pruned scan (see "Euclidean pruning" and "Dot-product pruning" in
// kernels.h), written once over a float vector of PRUNE_WIDTH lanes (8 or
// 16) and compiled by prune_avx2.cpp and prune_avx512.cpp. Only the
// approximation is computed here, with fused multiply-adds; every distance
// that reaches a heap comes from the exact scan passed in, for one group at
// a time.
//
// Include only from those two files, after defining PRUNE_NAMESPACE,
// PRUNE_SCAN, PRUNE_WIDTH and PRUNE_NQ (queries per register block).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace orvex::kernels {
namespace PRUNE_NAMESPACE {
namespace {

constexpr size_t kW = PRUNE_WIDTH;
constexpr size_t kCols = kGroup / kW;

typedef float V __attribute__((vector_size(4 * PRUNE_WIDTH)));

// acc + q * x, rounded once.
__attribute__((always_inline)) inline V fused(float q, V x, V acc) {
#if PRUNE_WIDTH == 16
  return (V)_mm512_fmadd_ps(_mm512_set1_ps(q), (__m512)x, (__m512)acc);
#else
  return (V)_mm256_fmadd_ps(_mm256_set1_ps(q), (__m256)x, (__m256)acc);
#endif
}

// Bit l set for every lane l with x[l] > y[l] (false for NaN).
inline unsigned greater_mask(V x, float y) {
#if PRUNE_WIDTH == 16
  return static_cast<unsigned>(_mm512_cmp_ps_mask((__m512)x, _mm512_set1_ps(y), _CMP_GT_OQ));
#else
  return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps((__m256)x, _mm256_set1_ps(y), _CMP_GT_OQ)));
#endif
}

// Whether a query may skip lanes now; refreshes its state.
inline bool prunable(DistanceMetric metric, TopK& h, double qsq, const PruneMargins& m, PruneState& st) {
  if (qsq < 0.0 || h.size < h.cap) return false;
  const float worst = h.hits[0].distance;
  if (!(worst <= 3.4e38f && worst >= -3.4e38f)) return false;  // NaN or inf: every lane may still enter
  uint32_t bits;
  __builtin_memcpy(&bits, &worst, sizeof bits);
  if (bits != st.worst_bits) st = prune_state_for(metric, worst, bits, qsq, m);
  return true;
}

// Queries q0 .. q0+NQ-1 against NG adjacent groups from g; false (nothing
// done) when a query of the block may not skip lanes now.
template <int NQ, int NG>
__attribute__((always_inline)) inline bool prune_groups(const StoreView& st, const QueryBlock& qb, size_t q0,
                                                        const float* const* qs, const PruneState* th, size_t g,
                                                        ScanFn exact) {
  const size_t dim = st.dim;
  const float* base = st.data + g * kGroup * dim;
  constexpr int kC = NG * static_cast<int>(kCols);
  V acc[NQ][kC];
#pragma GCC unroll 16
  for (int a = 0; a < NQ; ++a)
#pragma GCC unroll 16
    for (int b = 0; b < kC; ++b) acc[a][b] = V{};
  for (size_t i = 0; i < dim; ++i) {
#pragma GCC unroll 16
    for (int b = 0; b < kC; ++b) {
      const V x = load_lanes<V>(base + (b / kCols) * kGroup * dim + i * kGroup + (b % kCols) * kW);
#pragma GCC unroll 16
      for (int a = 0; a < NQ; ++a) acc[a][b] = fused(qs[a][i], x, acc[a][b]);
    }
  }
  for (int gg = 0; gg < NG; ++gg) {
    const size_t slot0 = (g + gg) * kGroup;
    const unsigned live = st.n - slot0 >= kGroup ? 0xFFFFu : (1u << (st.n - slot0)) - 1u;
    for (int a = 0; a < NQ; ++a) {
      unsigned skip = 0;
#pragma GCC unroll 8
      for (size_t b = 0; b < kCols; ++b) {
        const V r = th[a].norm_factor * load_lanes_unaligned<V>(st.prune_norms + slot0 + b * kW) +
                    th[a].dot_factor * acc[a][gg * kCols + b];
        skip |= greater_mask(r, th[a].tau) << (b * kW);
      }
      if ((live & ~skip) == 0) continue;
      const QueryBlock one{qb.queries + q0 + a, qb.query_norms ? qb.query_norms + q0 + a : nullptr,
                           qb.heaps + q0 + a, 1};
      exact(st, one, g + gg, g + gg + 1);
    }
  }
  return true;
}

template <int NQ>
void prune_block(const StoreView& st, const QueryBlock& qb, size_t q0, const double* qsq, PruneState* state,
                 const PruneMargins& m, size_t g_begin, size_t g_end, ScanFn exact) {
  const float* qs[NQ];
  for (int a = 0; a < NQ; ++a) qs[a] = qb.queries[q0 + a];
  PruneState* th = state + q0;
  for (size_t g = g_begin; g < g_end;) {
    bool all = true;
    for (int a = 0; a < NQ; ++a) all &= prunable(st.metric, qb.heaps[q0 + a], qsq[q0 + a], m, th[a]);
    if (!all) {
      const QueryBlock sub{qb.queries + q0, qb.query_norms ? qb.query_norms + q0 : nullptr, qb.heaps + q0,
                           static_cast<size_t>(NQ)};
      exact(st, sub, g, g + 1);
      ++g;
    } else if (PRUNE_NG > 1 && g + PRUNE_NG <= g_end) {
      prune_groups<NQ, PRUNE_NG>(st, qb, q0, qs, th, g, exact);
      g += PRUNE_NG;
    } else {
      prune_groups<NQ, 1>(st, qb, q0, qs, th, g, exact);
      ++g;
    }
  }
}

template <int NQ>
void prune_queries(const StoreView& st, const QueryBlock& qb, size_t q_begin, const double* qsq,
                   PruneState* state, const PruneMargins& m, size_t g_begin, size_t g_end, ScanFn exact) {
  size_t q0 = q_begin;
  for (; q0 + NQ <= qb.nq; q0 += NQ) prune_block<NQ>(st, qb, q0, qsq, state, m, g_begin, g_end, exact);
  if constexpr (NQ > 1) prune_queries<NQ / 2>(st, qb, q0, qsq, state, m, g_begin, g_end, exact);
}

}  // namespace
}  // namespace PRUNE_NAMESPACE

void PRUNE_SCAN(const StoreView& store, const QueryBlock& block, const double* query_sq, PruneState* state,
                const PruneMargins& margins, size_t g_begin, size_t g_end, ScanFn exact) {
  PRUNE_NAMESPACE::prune_queries<PRUNE_NQ>(store, block, 0, query_sq, state, margins, g_begin, g_end, exact);
}

}  // namespace orvex::kernels
