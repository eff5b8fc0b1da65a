// The scan kernel, written once over a float vector of KERNEL_WIDTH lanes
// (16, 8 or 4: one zmm, ymm or xmm register) and compiled by
// kernels_portable.cpp, kernels_avx2.cpp and kernels_avx512.cpp, each with
// its own instruction set and its own KERNEL_NAMESPACE.
//
// A group of 16 stored vectors is read as 16 / KERNEL_WIDTH columns of
// KERNEL_WIDTH lanes; component i of column j of group g lies at
// data + g * 16 * dim + 16 i + j * KERNEL_WIDTH. Register blocks pair
// KERNEL_NQ_* queries with KERNEL_NC_* columns (one pair of settings for the
// Euclidean terms, one for products), so each loaded column serves
// several queries and several independent addition chains are in flight. A
// lone query takes whole groups (adjacent columns share their cache lines)
// from several strands of the store at once (see scan_strands). The AVX2
// build carries unfiltered Euclidean and dot-product scans of whole blocks of
// 16 components with hand-scheduled runs (runs_avx2.h).
//
// Include only from those three files, after defining KERNEL_NAMESPACE,
// KERNEL_SCAN (the exported scan function's name), KERNEL_WIDTH,
// KERNEL_NQ_L2, KERNEL_NC_L2, KERNEL_NQ_DOT, KERNEL_NC_DOT, KERNEL_NC1 and
// KERNEL_SPLIT_SUBTRACTIONS (1 where the build has FMA instructions).
// Everything here has internal linkage; the only external symbol is
// KERNEL_SCAN.
//
// Arithmetic per lane, as defined for every metric: each block of 16 terms
// is summed left to right starting from its first term, the block sum is
// added to the running total (starting at +0.0), the tail terms are added
// one at a time; every product, difference and sum is rounded on its own.
// The files are compiled with -ffp-contract=off, so no product is ever fused
// into a sum. The one fused instruction is exact_difference's fma(v, -1, q):
// the product v * -1 is exact, so its one rounding is that of q - v, the
// same bits as the subtraction; it lets half of the Euclidean subtractions
// run on the multiply units, which the products leave half idle, while the
// additions and the other subtractions fill the add units.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace orvex::kernels {
namespace KERNEL_NAMESPACE {
namespace {

constexpr size_t kW = KERNEL_WIDTH;       // lanes per register
constexpr size_t kCols = kGroup / kW;     // columns per group
constexpr unsigned kColMask = (1u << kW) - 1u;

typedef float V __attribute__((vector_size(4 * KERNEL_WIDTH)));
typedef int32_t VI __attribute__((vector_size(4 * KERNEL_WIDTH)));

// Bit l set for every lane l whose int lane is negative (all ones).
inline unsigned sign_mask(VI m) {
#if KERNEL_WIDTH == 16
  return static_cast<unsigned>(_mm512_movepi32_mask((__m512i)m));
#elif KERNEL_WIDTH == 8
  return static_cast<unsigned>(_mm256_movemask_ps((__m256)m));
#else
  return static_cast<unsigned>(_mm_movemask_ps((__m128)m));
#endif
}

// Correctly rounded square root of every lane.
inline V vsqrt(V x) {
#if KERNEL_WIDTH == 16
  return (V)_mm512_maskz_sqrt_ps(0xFFFF, (__m512)x);
#elif KERNEL_WIDTH == 8
  return (V)_mm256_sqrt_ps((__m256)x);
#else
  return (V)_mm_sqrt_ps((__m128)x);
#endif
}

// q - v, bit for bit; with on_multiplier (a constant after unrolling) as
// fma(v, -1, q) on the multiply units where the build has FMA.
__attribute__((always_inline)) inline V exact_difference(float q, V v, bool on_multiplier) {
#if KERNEL_SPLIT_SUBTRACTIONS
  if (on_multiplier) {
#if KERNEL_WIDTH == 16
    return (V)_mm512_fnmadd_ps((__m512)v, _mm512_set1_ps(1.0f), _mm512_set1_ps(q));
#else
    return (V)_mm256_fnmadd_ps((__m256)v, _mm256_set1_ps(1.0f), _mm256_set1_ps(q));
#endif
  }
#else
  (void)on_multiplier;
#endif
  return q - v;
}

// The term of component i: q*v, or (q-v)*(q-v) for Euclidean (query a,
// column b: every other pair subtracts on the multiply units).
template <bool kSquares>
__attribute__((always_inline)) inline V term(float q, V v, int a, int b) {
  if constexpr (kSquares) {
    const V d = exact_difference(q, v, ((a + b) & 1) != 0);
    return d * d;
  } else {
    (void)a;
    (void)b;
    return q * v;
  }
}

// Running totals of NQ queries against NC columns, in the defined order per
// lane. col[b] points at component 0 of column b; components are 16 apart.
template <int NQ, int NC, bool kSquares>
__attribute__((always_inline)) inline void block_sums(const float* const* q, const float* const* col, size_t dim,
                       V (&total)[NQ][NC]) {
#pragma GCC unroll 8
  for (int a = 0; a < NQ; ++a)
#pragma GCC unroll 8
    for (int b = 0; b < NC; ++b) total[a][b] = V{};
  const size_t blocks = dim / kGroup;
  size_t c = 0;
  size_t blk = 0;
  for (; blk < blocks; ++blk, c += kGroup) {
    V s[NQ][NC];
#pragma GCC unroll 8
    for (int b = 0; b < NC; ++b) {
      const V x = load_lanes<V>(col[b] + c * kGroup);
#pragma GCC unroll 8
      for (int a = 0; a < NQ; ++a) s[a][b] = term<kSquares>(q[a][c], x, a, b);
    }
    // Not unrolled: each pass interleaves all NQ * NC addition chains.
#pragma GCC unroll 1
    for (size_t i = c + 1; i < c + kGroup; ++i) {
#pragma GCC unroll 8
      for (int b = 0; b < NC; ++b) {
        const V x = load_lanes<V>(col[b] + i * kGroup);
#pragma GCC unroll 8
        for (int a = 0; a < NQ; ++a) s[a][b] = s[a][b] + term<kSquares>(q[a][i], x, a, b);
      }
    }
#pragma GCC unroll 8
    for (int a = 0; a < NQ; ++a)
#pragma GCC unroll 8
      for (int b = 0; b < NC; ++b) total[a][b] = total[a][b] + s[a][b];
  }
  for (; c < dim; ++c) {
#pragma GCC unroll 8
    for (int b = 0; b < NC; ++b) {
      const V x = load_lanes<V>(col[b] + c * kGroup);
#pragma GCC unroll 8
      for (int a = 0; a < NQ; ++a) total[a][b] = total[a][b] + term<kSquares>(q[a][c], x, a, b);
    }
  }
}

// Lanes of column `col` that hold a stored vector and pass the filter.
inline unsigned live_lanes(const StoreView& st, size_t col) {
  const size_t g = col / kCols;
  const size_t first = col * kW;
  if (first >= st.n) return 0;
  unsigned m = (st.n - first >= kW) ? kColMask : ((1u << (st.n - first)) - 1u);
  if (st.match) m &= static_cast<unsigned>(st.match[g]) >> ((col % kCols) * kW);
  return m;
}

inline const float* column_start(const StoreView& st, size_t col) {
  return st.data + (col / kCols) * (kGroup * st.dim) + (col % kCols) * kW;
}

// Offers lanes `lanes` of one column's distances to heap h, one by one.
__attribute__((noinline)) void offer_lanes(const StoreView& st, TopK& h, V dist, unsigned lanes, size_t slot0) {
  while (lanes) {
    const unsigned l = static_cast<unsigned>(__builtin_ctz(lanes));
    lanes &= lanes - 1;
    topk_offer(h, Hit{dist[l], st.ids[slot0 + l]});
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
      const V p = qnorm * load_lanes_unaligned<V>(vnorms);
      const V one = V{} + 1.0f;
      return (p == 0.0f) ? one : one - total / p;
    }
  }
}

// What a heap admits, read once per query and column run. A full heap with a
// number as its worst admits only distances at or below it, and a running
// total can be tested against that without finishing its distance:
//   Euclidean: the distance sqrt(t) is rounded to nearest and monotone, so
//     sqrt(t) <= w needs t <= B = w^2 (1 + 2^-24)^2 (where w is subnormal,
//     only t = 0 qualifies); `limit` is w^2 (1 + 2^-20), a little looser,
//     computed in double and rounded to a float: a float t <= B is at most
//     the largest float <= B, and rounding never goes below that one;
//   dot product: the distance -t <= w exactly when t >= -w;
//   cosine: the distance itself, against w.
// A lane that passes is only a candidate: the heap decides on the finished
// distance. A heap not yet full, or whose worst is NaN, admits every lane (a
// NaN of lower id may still win).
struct Gate {
  unsigned all;  // ~0u when every lane is admitted
  float worst;   // the heap's worst distance
  float limit;   // the bound on a running total (Euclidean, dot product)
};

inline Gate gate_for(const TopK& h, DistanceMetric metric) {
  if (h.size < h.cap) return Gate{~0u, 0.0f, 0.0f};
  const float w = h.hits[0].distance;
  if (w != w) return Gate{~0u, w, 0.0f};
  switch (metric) {
    case DistanceMetric::Euclidean:
      return Gate{0u, w, static_cast<float>(static_cast<double>(w) * w * (1.0 + 0x1p-20))};
    case DistanceMetric::DotProduct:
      return Gate{0u, w, -w};
    default:
      return Gate{0u, w, w};
  }
}

// Lanes of running totals `t` that gate g admits (see Gate).
inline unsigned gate_lanes(DistanceMetric metric, const Gate& g, V t, float qnorm, const float* vnorms) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return sign_mask(t <= g.limit);
    case DistanceMetric::DotProduct:
      return sign_mask(t >= g.limit);
    default:
      return sign_mask(finish(metric, t, qnorm, vnorms) <= g.worst);
  }
}

// Offers the live lanes of one column's finished distances to heap h (these
// are compared with the worst distance itself: the metric passed to gate_for
// shapes only `limit`).
inline void select_lanes(const StoreView& st, TopK& h, V dist, unsigned live, size_t slot0) {
  const Gate g = gate_for(h, DistanceMetric::Hamming);
  if (const unsigned lanes = (sign_mask(dist <= g.worst) | g.all) & live) offer_lanes(st, h, dist, lanes, slot0);
}

// Offers the distances of NQ queries against NC columns to the queries'
// heaps. Every column is first tested against its heap's gate on the running
// totals; only when some lane passes are distances finished and offered, so
// a run that changes no heap (nearly every run of a long scan) costs one
// compare per column and no square root.
template <int NQ, int NC, bool kSquares>
inline void finish_and_select(const StoreView& st, const QueryBlock& qb, size_t q0, size_t col,
                              const V (&tot)[NQ][NC], const unsigned (&live)[NC]) {
  const DistanceMetric metric = kSquares ? DistanceMetric::Euclidean : st.metric;
  unsigned cand[NQ][NC];
  unsigned any = 0;
  for (int a = 0; a < NQ; ++a) {
    const Gate g = gate_for(qb.heaps[q0 + a], metric);
    const float qn = st.norms ? qb.query_norms[q0 + a] : 0.0f;
    for (int b = 0; b < NC; ++b) {
      const float* vn = st.norms ? st.norms + (col + b) * kW : nullptr;
      cand[a][b] = (gate_lanes(metric, g, tot[a][b], qn, vn) | g.all) & live[b];
      any |= cand[a][b];
    }
  }
  if (!any) return;
  for (int a = 0; a < NQ; ++a) {
    const float qn = st.norms ? qb.query_norms[q0 + a] : 0.0f;
    for (int b = 0; b < NC; ++b) {
      if (!cand[a][b]) continue;
      const size_t slot0 = (col + b) * kW;
      const float* vn = st.norms ? st.norms + slot0 : nullptr;
      offer_lanes(st, qb.heaps[q0 + a], finish(metric, tot[a][b], qn, vn), cand[a][b], slot0);
    }
  }
}

// The AVX2 build carries long unfiltered scans (Euclidean and dot product,
// dim a multiple of 16) with the hand-scheduled runs of runs_avx2.h, in
// blocks of kRunQueries[kSquares] queries; everything else takes the blocks
// of block_sums.
#if KERNEL_WIDTH == 8 && KERNEL_SPLIT_SUBTRACTIONS
#define KERNEL_HAS_RUNS 1
#include "runs_avx2.h"
constexpr int kRunQueries[2] = {6, 4};  // products, Euclidean terms
#else
#define KERNEL_HAS_RUNS 0
#endif

inline bool runs_apply(const StoreView& st) {
  return KERNEL_HAS_RUNS && !st.match && st.dim > 0 && st.dim % kGroup == 0 &&
         (st.metric == DistanceMetric::Euclidean || st.metric == DistanceMetric::DotProduct);
}

#if KERNEL_HAS_RUNS
// The limits of queries q0 .. q0+NQ-1 for the runs; false when some heap
// admits every lane (not yet full, or a NaN worst), which a limit cannot
// express.
template <int NQ>
inline bool run_limits(const QueryBlock& qb, size_t q0, DistanceMetric metric, float (&limit)[NQ]) {
  for (int a = 0; a < NQ; ++a) {
    const Gate g = gate_for(qb.heaps[q0 + a], metric);
    if (g.all) return false;
    limit[a] = g.limit;
  }
  return true;
}

// Columns [c, c_end) (whole groups) for queries q0 .. q0+NQ-1 by the runs;
// returns where it stopped. A group's totals reach the heaps only when some
// total passes its limit, or while some heap admits every lane.
template <int NQ, bool kSquares>
inline size_t scan_runs(const StoreView& st, const QueryBlock& qb, size_t q0, const float* const* qs, size_t c,
                        size_t c_end) {
  const size_t blocks = st.dim / kGroup;
  float limit[NQ] = {};
  bool gated = run_limits(qb, q0, st.metric, limit);
  alignas(32) V tot[NQ][kCols];
  for (; c + kCols <= c_end; c += kCols) {
    bool pass;
    if constexpr (kSquares) {
      pass = run_squares_4x2(qs, column_start(st, c), blocks, limit, tot);
    } else {
      pass = run_products_6x2(qs, column_start(st, c), blocks, limit, tot);
    }
    if (pass || !gated) {
      const unsigned live[kCols] = {live_lanes(st, c), live_lanes(st, c + 1)};
      finish_and_select<NQ, kCols, kSquares>(st, qb, q0, c, tot, live);
      gated = run_limits(qb, q0, st.metric, limit);
    }
  }
  return c;
}
#endif

// Whether columns [c, c + count) hold stored vectors that all pass the filter.
inline bool all_lanes_live(const StoreView& st, size_t c, int count) {
  for (int b = 0; b < count; ++b) {
    if (live_lanes(st, c + static_cast<size_t>(b)) != kColMask) return false;
  }
  return true;
}

// Queries q0 .. q0+NQ-1 against the columns of groups [g_begin, g_end).
template <int NQ, int NC, bool kSquares>
inline void scan_block(const StoreView& st, const QueryBlock& qb, size_t q0, size_t g_begin,
                       size_t g_end) {
  const float* qs[NQ];
  for (int a = 0; a < NQ; ++a) qs[a] = qb.queries[q0 + a];
  const size_t c_end = g_end * kCols;
  size_t c = g_begin * kCols;
  if (!st.match) {
#if KERNEL_HAS_RUNS
    if constexpr (NC == static_cast<int>(kCols) && NQ == kRunQueries[kSquares]) {
      if (runs_apply(st)) c = scan_runs<NQ, kSquares>(st, qb, q0, qs, c, c_end);
    }
#endif
    for (; c + NC <= c_end; c += NC) {
      const float* cols[NC];
      unsigned live[NC];
      for (int b = 0; b < NC; ++b) {
        cols[b] = column_start(st, c + b);
        live[b] = live_lanes(st, c + b);
      }
      V tot[NQ][NC];
      block_sums<NQ, NC, kSquares>(qs, cols, st.dim, tot);
      finish_and_select<NQ, NC, kSquares>(st, qb, q0, c, tot, live);
    }
  }
  // With a filter: groups without a passing lane are skipped whole; fully
  // passing columns take the register blocks of the unfiltered scan. (Groups
  // fetched ahead by software prefetch measured no faster: a scattered 8 KiB
  // group costs about three times its share of a forward stream either way.)
  for (; c < c_end; ++c) {
    if (st.match && c % kCols == 0) {
      if (st.match[c / kCols] == 0) {
        c += kCols - 1;
        continue;  // nothing here passes the filter: no distance work
      }
      // A fully passing run takes the register blocks of the unfiltered scan.
      if constexpr (NC > 1) {
        if (c + NC <= c_end && all_lanes_live(st, c, NC)) {
          const float* cols[NC];
          unsigned live[NC];
          for (int b = 0; b < NC; ++b) {
            cols[b] = column_start(st, c + b);
            live[b] = kColMask;
          }
          V tot[NQ][NC];
          block_sums<NQ, NC, kSquares>(qs, cols, st.dim, tot);
          finish_and_select<NQ, NC, kSquares>(st, qb, q0, c, tot, live);
          c += NC - 1;
          continue;
        }
      }
    }
    const unsigned live[1] = {live_lanes(st, c)};
    if (!live[0]) continue;  // nothing here passes the filter: no distance work
    const float* cols[1] = {column_start(st, c)};
    V tot[NQ][1];
    block_sums<NQ, 1, kSquares>(qs, cols, st.dim, tot);
    finish_and_select<NQ, 1, kSquares>(st, qb, q0, c, tot, live);
  }
}

// A lone query without a filter: groups [g_begin, g_end) are cut into
// kStrands equal strands, read side by side a group of each at a time (the
// rest after them). Several forward streams keep more memory reads in flight
// than one: measured 1.4 times faster on 4 KiB pages, where the hardware
// prefetchers stop at every page. Each lane's arithmetic is unchanged and the
// heap's order is total, so the results are those of one forward pass.
constexpr size_t kStrands = 4;

template <bool kSquares>
inline void scan_strands(const StoreView& st, const QueryBlock& qb, size_t g_begin, size_t g_end) {
  constexpr int kNC = static_cast<int>(kStrands * kCols);
  const size_t len = (g_end - g_begin) / kStrands;
  const float* qs[1] = {qb.queries[0]};
  for (size_t t = 0; t < len; ++t) {
    const float* cols[kNC];
    unsigned live[kNC];
    for (size_t s = 0; s < kStrands; ++s) {
      for (size_t j = 0; j < kCols; ++j) {
        const size_t c = (g_begin + s * len + t) * kCols + j;
        cols[s * kCols + j] = column_start(st, c);
        live[s * kCols + j] = live_lanes(st, c);
      }
    }
    V tot[1][kNC];
    block_sums<1, kNC, kSquares>(qs, cols, st.dim, tot);
    for (size_t s = 0; s < kStrands; ++s) {
      V group_tot[1][kCols];
      unsigned group_live[kCols];
      for (size_t j = 0; j < kCols; ++j) {
        group_tot[0][j] = tot[0][s * kCols + j];
        group_live[j] = live[s * kCols + j];
      }
      finish_and_select<1, kCols, kSquares>(st, qb, 0, (g_begin + s * len + t) * kCols, group_tot,
                                            group_live);
    }
  }
  scan_block<1, KERNEL_NC1, kSquares>(st, qb, 0, g_begin + kStrands * len, g_end);
}

template <int NQ, bool kSquares>
inline void scan_sums(const StoreView& st, const QueryBlock& qb, size_t g_begin, size_t g_end) {
  constexpr int kNC = NQ == 1 ? KERNEL_NC1 : kSquares ? KERNEL_NC_L2 : KERNEL_NC_DOT;
  if constexpr (NQ == 1) {
    if (!st.match && qb.nq == 1) return scan_strands<kSquares>(st, qb, g_begin, g_end);
  }
  size_t q0 = 0;
  for (; q0 + NQ <= qb.nq; q0 += NQ) scan_block<NQ, kNC, kSquares>(st, qb, q0, g_begin, g_end);
  if constexpr (NQ > 1) {
    const size_t rest = qb.nq - q0;
    if (rest == 0) return;
    QueryBlock tail{qb.queries + q0, qb.query_norms ? qb.query_norms + q0 : nullptr,
                    qb.heaps + q0, rest};
    scan_sums<NQ / 2, kSquares>(st, tail, g_begin, g_end);
  }
}

template <bool kSquares>
inline void scan_metric(const StoreView& st, const QueryBlock& qb, size_t g_begin, size_t g_end) {
#if KERNEL_HAS_RUNS
  if (runs_apply(st)) return scan_sums<kRunQueries[kSquares], kSquares>(st, qb, g_begin, g_end);
#endif
  scan_sums<kSquares ? KERNEL_NQ_L2 : KERNEL_NQ_DOT, kSquares>(st, qb, g_begin, g_end);
}

// Hamming: per lane, the number of components on which q and v fall on
// different sides of 0.5 (0.5 and NaN count as not set).
inline void scan_hamming(const StoreView& st, const QueryBlock& qb, size_t g_begin, size_t g_end) {
  constexpr size_t kChunk = size_t{1} << 30;  // int32 lanes never overflow
  for (size_t c = g_begin * kCols; c < g_end * kCols; ++c) {
    const unsigned live = live_lanes(st, c);
    if (!live) continue;
    const float* col = column_start(st, c);
    for (size_t a = 0; a < qb.nq; ++a) {
      const float* q = qb.queries[a];
      uint64_t total[kW] = {};
      for (size_t c0 = 0; c0 < st.dim; c0 += kChunk) {
        const size_t c1 = (st.dim - c0 > kChunk) ? c0 + kChunk : st.dim;
        VI cnt = VI{};
        for (size_t i = c0; i < c1; ++i) {
          VI diff = load_lanes<V>(col + i * kGroup) > 0.5f;
          if (q[i] > 0.5f) diff = ~diff;
          cnt -= diff;
        }
        for (size_t l = 0; l < kW; ++l) total[l] += static_cast<uint32_t>(cnt[l]);
      }
      V dist;
      for (size_t l = 0; l < kW; ++l) dist[l] = static_cast<float>(total[l]);
      select_lanes(st, qb.heaps[a], dist, live, c * kW);
    }
  }
}

}  // namespace
}  // namespace KERNEL_NAMESPACE

void KERNEL_SCAN(const StoreView& store, const QueryBlock& block, size_t g_begin, size_t g_end) {
  using namespace KERNEL_NAMESPACE;
  switch (store.metric) {
    case DistanceMetric::Euclidean:
      scan_metric<true>(store, block, g_begin, g_end);
      break;
    case DistanceMetric::Cosine:
    case DistanceMetric::DotProduct:
      scan_metric<false>(store, block, g_begin, g_end);
      break;
    case DistanceMetric::Hamming:
      scan_hamming(store, block, g_begin, g_end);
      break;
  }
}

}  // namespace orvex::kernels
