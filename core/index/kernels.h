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

// The scan of the active kernel path (see set_kernel_path).
ScanFn active_scan();

}  // namespace orvex::kernels
