// Scan kernels of BruteForceIndex: exact distances of one or more queries to
// stored vectors kept in groups of 16, and the bounded selection of the k
// nearest per query.
//
// Internal to the core. The same kernel source is compiled three times
// (portable, AVX2, AVX-512); every build gives identical bits, because each
// SIMD lane follows exactly the defined rounding order of its own stored
// vector: block sums of 16 terms left to right, each added to the running
// total, the tail term by term, no fused multiply-add.
//
// Everything defined in this header has internal linkage (static), so the
// three kernel builds never share an out-of-line copy of a helper compiled
// for a wider instruction set.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "../distance.h"

namespace orvex::kernels {

inline constexpr size_t kGroup = 16;  // stored vectors per group

// Layout of the stored vectors: group g starts at data + g * 16 * dim;
// component i of lane l (slot 16 g + l) is at that start + 16 i + l. Lanes
// past the last stored vector are zero.
struct StoreView {
  const float* data;      // 64-byte aligned; may be null when dim == 0 or n == 0
  const float* norms;     // Cosine: sqrt(dot(v, v)) per slot, padded to whole groups
  const float* prune_norms;  // Euclidean, dot product: the pruning norm per slot, padded; or null
  const uint16_t* match;  // per group, lanes that pass the filter; null: all
  const uint64_t* ids;    // the id of every stored slot
  size_t dim;
  size_t n;  // stored vectors
  DistanceMetric metric;
};

// One kept candidate: its distance and its id.
struct Hit {
  float distance;
  uint64_t id;
};

// Bounded selection of the `cap` best hits (cap >= 1), a max-heap under the
// result order (see ranks_after). hits has room for cap.
struct TopK {
  Hit* hits;
  size_t size;
  size_t cap;
};

// Queries scanned together. queries[i] points at dim floats; query_norms[i]
// is sqrt(dot(q, q)) (Cosine only); heaps[i] collects query i's hits.
struct QueryBlock {
  const float* const* queries;
  const float* query_norms;
  TopK* heaps;
  size_t nq;
};

// One register of floats (V: a vector of 4, 8 or 16 lanes, as each kernel
// build defines it) from p; load_lanes needs p aligned to the register.
template <class V>
static inline V load_lanes(const float* p) {
  V v;
  __builtin_memcpy(&v, __builtin_assume_aligned(p, sizeof(V)), sizeof v);
  return v;
}

template <class V>
static inline V load_lanes_unaligned(const float* p) {
  V v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

// The one order of results: distances ascending, NaN after every number,
// equal distances (and NaNs among themselves) by id ascending. It is a total
// order on distinct ids, so every scan order, batch split and thread count
// keeps the same k and returns them in the same order. Whether (da, ia)
// ranks strictly after (db, ib):
static inline bool ranks_after(float da, uint64_t ia, float db, uint64_t ib) {
  if (da != da) return db == db || ia > ib;
  if (db != db) return false;
  if (da != db) return da > db;
  return ia > ib;
}

static inline bool ranks_after(const Hit& a, const Hit& b) {
  return ranks_after(a.distance, a.id, b.distance, b.id);
}

static inline void topk_sift_down(TopK& h, size_t i) {
  Hit* hs = h.hits;
  const size_t n = h.size;
  Hit x = hs[i];
  for (;;) {
    size_t c = 2 * i + 1;
    if (c >= n) break;
    if (c + 1 < n && ranks_after(hs[c + 1], hs[c])) ++c;
    if (!ranks_after(hs[c], x)) break;
    hs[i] = hs[c];
    i = c;
  }
  hs[i] = x;
}

// Offers one candidate; keeps it when the heap has room or when it ranks
// before the current worst.
static inline void topk_offer(TopK& h, Hit x) {
  Hit* hs = h.hits;
  if (h.size < h.cap) {
    size_t i = h.size++;
    while (i > 0) {
      size_t p = (i - 1) / 2;
      if (!ranks_after(x, hs[p])) break;
      hs[i] = hs[p];
      i = p;
    }
    hs[i] = x;
    return;
  }
  if (!ranks_after(hs[0], x)) return;
  hs[0] = x;
  topk_sift_down(h, 0);
}

// Scans groups [g_begin, g_end) for every query of `block`, feeding each
// query's heap. Groups whose filter mask is zero cost no distance work.
using ScanFn = void (*)(const StoreView& store, const QueryBlock& block, size_t g_begin,
                        size_t g_end);

void scan_portable(const StoreView& store, const QueryBlock& block, size_t g_begin, size_t g_end);
void scan_avx2(const StoreView& store, const QueryBlock& block, size_t g_begin, size_t g_end);
void scan_avx512(const StoreView& store, const QueryBlock& block, size_t g_begin, size_t g_end);

// ---- Euclidean pruning -----------------------------------------------------
//
// A batched Euclidean scan may first compute, per query and stored vector v,
// a fast approximation from the dot product (fused multiply-adds allowed):
//   r = h(v) - 2 fma_dot(q, v),  h(v) = (1 - K) |v|^2 rounded to float,
// and skip the exact distance of a lane when r > tau(q), where
//   tau(q) >= T + A - (1 - K) |q|^2,  T = nextafter(d_k, +inf)^2,
// d_k being the distance of the query's current k-th hit (heap full, d_k a
// finite number). With N = |q|^2 + |v|^2 and u = 2^-24, every rounding is
// bounded by:
//   fma_dot, one chain of d fused steps: |D~ - q.v| <= gamma_d N / 2
//                                        (+ d 2^-150 below the normal range);
//   h(v) and |q|^2 (summed in double):   within 2.1 u |v|^2, u |q|^2;
//   r itself (one subtraction):          within 3 u N;
//   the exact kernel's sum S_f of d terms with at most d + 3 roundings each
//   on the way (difference, square, additions): S_f >= S (1 - gamma_(d+3))
//   - d 2^-150, S = |q - v|^2 <= 2 N.
// So r > tau gives S_f > T + A - (d + 1) 2^-149 + (K - gamma_d - 2 gamma_(d+3)
// - 7 u) N >= T with K = 2 gamma_(3d+10), A = 4 (d + 1) 2^-149; then
// sqrt(S_f) > nextafter(d_k), and its correctly rounded float is at least
// that: the lane ranks after the k-th hit even on a tie of ids, so skipping
// it changes nothing. Vectors and queries with a non-finite or huge
// (> 1e30) squared norm are never skipped (h = -inf makes r -inf or NaN);
// nothing then overflows: |components| <= 1e15, every sum stays below 1e32.
struct PruneMargins {
  double k;  // K: relative, of N
  double a;  // A: absolute, for results below the normal range
  bool usable;
};

static inline PruneMargins prune_margins(size_t dim) {
  const double n = 3.0 * static_cast<double>(dim) + 10.0;
  const double nu = n * 0x1p-24;
  if (!(nu < 0x1p-6)) return PruneMargins{0.0, 0.0, false};
  const double g = nu / (1.0 - nu);
  return PruneMargins{2.0 * g, 4.0 * (static_cast<double>(dim) + 1.0) * 0x1p-149, true};
}

// |x|^2 in double (d squares of floats, exact; d - 1 additions of
// non-negative terms, in four chains: any order keeps the bound above), or a
// negative value when x holds a NaN or inf or |x|^2 > 1e30.
static inline double prune_square_norm(const float* x, size_t dim) {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  size_t i = 0;
  for (; i + 4 <= dim; i += 4) {
    for (size_t j = 0; j < 4; ++j) s[j] += static_cast<double>(x[i + j]) * static_cast<double>(x[i + j]);
  }
  for (; i < dim; ++i) s[0] += static_cast<double>(x[i]) * static_cast<double>(x[i]);
  const double total = (s[0] + s[1]) + (s[2] + s[3]);
  return (total <= 1e30) ? total : -1.0;
}

// h(v) of a stored vector from its prune_square_norm.
static inline float prune_vector_norm(double vsq, const PruneMargins& m) {
  if (vsq < 0.0) return -INFINITY;
  return static_cast<float>((1.0 - m.k) * vsq);
}

// The least float >= x (x a finite double, or +inf).
static inline float float_at_least(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, INFINITY);
  return f;
}

// tau(q) for a query with prune_square_norm qsq >= 0 and a k-th distance
// `worst` that is a finite number; rounded upward to float.
static inline float prune_threshold(float worst, double qsq, const PruneMargins& m) {
  const double next = static_cast<double>(std::nextafter(worst, INFINITY));
  const double t = next * next;  // a product of two floats: exact in double
  double x = t + m.a - (1.0 - m.k) * qsq;
  x += 0x1p-45 * (t + m.a + qsq);  // covers the three roundings in double
  return float_at_least(x);
}

// ---- Dot-product pruning ----------------------------------------------------
//
// The same scan serves dot products (distance -q.v) with
//   r = -fma_dot(q, v) - s(q) n(v),  n(v) >= |v|,  s(q) >= K |q|,
// both rounded upward to float, and skips a lane when r > tau >= d_k + A.
// With P = |q| |v| (>= the sum of |q_i v_i|): |fma_dot - q.v| <= gamma_d P
// + d 2^-150 and the exact kernel's sum S_f (any order of its d - 1
// additions, each product rounded) is within gamma_d P + d 2^-150 of q.v;
// the roundings of s(q) n(v) and of r add at most 2 u P + 2^-148 (K is
// below 2^-6), the norms' own roundings are covered by rounding them
// upward. So r > tau gives -S_f > tau - A + (K - 2 gamma_d - 2 u) P >= d_k,
// since K = 2 gamma_(3d+10) and A = 4 (d + 1) 2^-149 exceed what is
// subtracted: the lane's distance is above the k-th, even on a tie of ids,
// and skipping it changes nothing. A vector with a non-finite or huge
// squared norm has n(v) = +inf, which makes r -inf (or NaN for a zero
// query): never skipped; so are the lanes of a query with such a norm, and
// every lane while d_k is not a finite number.

// n(v) of a stored vector from its prune_square_norm.
static inline float prune_dot_vector_norm(double vsq) {
  if (vsq < 0.0) return INFINITY;
  const double x = std::sqrt(vsq) * (1.0 + 0x1p-30);  // covers vsq's and sqrt's roundings
  return float_at_least(x);
}

// Per query of a pruned scan: the k-th distance (its bits) that tau was last
// computed for, tau, and the lane test's factors: r = norm_factor * (the
// slot's pruning norm) + dot_factor * fma_dot(q, v) (Euclidean 1 and -2,
// dot product -s(q) and -1); kept from one call to the next. Start with
// kPruneUnset, which no k-th distance that allows pruning has.
struct PruneState {
  uint32_t worst_bits;
  float tau;
  float norm_factor;
  float dot_factor;
};

// The PruneState of a query with prune_square_norm qsq >= 0 whose k-th
// distance `worst` (bits `bits`) is a finite number.
static inline PruneState prune_state_for(DistanceMetric metric, float worst, uint32_t bits, double qsq,
                                         const PruneMargins& m) {
  if (metric == DistanceMetric::Euclidean) return PruneState{bits, prune_threshold(worst, qsq, m), 1.0f, -2.0f};
  double x = static_cast<double>(worst) + m.a;
  x += 0x1p-45 * (std::fabs(x) + m.a);  // covers the rounding in double
  const float s = float_at_least(m.k * std::sqrt(qsq) * (1.0 + 0x1p-30));
  return PruneState{bits, float_at_least(x), -s, -1.0f};
}
inline constexpr uint32_t kPruneUnset = 0xFFFFFFFFu;  // a NaN

// Scans groups [g_begin, g_end) for every query of `block` like `exact` (the
// exact scan of the same kernel path) with Euclidean or dot-product
// distances and no filter, skipping lanes as above. query_sq[i] is prune_square_norm of query i;
// state[i] is query i's PruneState, used by one scan at a time.
using PruneFn = void (*)(const StoreView& store, const QueryBlock& block, const double* query_sq,
                         PruneState* state, const PruneMargins& margins, size_t g_begin, size_t g_end,
                         ScanFn exact);

void prune_avx2(const StoreView& store, const QueryBlock& block, const double* query_sq, PruneState* state,
                const PruneMargins& margins, size_t g_begin, size_t g_end, ScanFn exact);
void prune_avx512(const StoreView& store, const QueryBlock& block, const double* query_sq, PruneState* state,
                  const PruneMargins& margins, size_t g_begin, size_t g_end, ScanFn exact);

}  // namespace orvex::kernels
