#include "brute_force.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "../filter.h"
#include "../id_map.h"
#include "../parallel.h"
#include "dispatch.h"
#include "group_store.h"
#include "kernels.h"
#include "payload_columns.h"

namespace orvex {

namespace {

using kernels::kGroup;

// *out = a * b; true when that overflows.
bool mul_overflows(size_t a, size_t b, size_t* out) { return __builtin_mul_overflow(a, b, out); }

bool ranks_before(const kernels::Hit& a, const kernels::Hit& b) { return kernels::ranks_after(b, a); }

const Payload& empty_payload() {
  static const Payload empty;
  return empty;
}

// Keys indexed at most.
constexpr size_t kMaxIndexes = 32;

// Rows gathered per block of a single query's scan: 32 groups, a few
// hundred KiB at the usual dimensions, so a block stays in the core's cache
// while it is scanned.
constexpr size_t kGatherChunk = 512;

struct alignas(64) Lanes {
  float v[kGroup];
};

// Passing slots copied into whole groups of their own, in the store's
// layout, with their ids and per-slot norms: a StoreView of just them.
struct Gathered {
  std::vector<Lanes> data;  // groups * dim registers of 16 lanes
  std::vector<float> norms;
  std::vector<uint64_t> ids;
  size_t n = 0;
  size_t groups() const { return (n + kGroup - 1) / kGroup; }
};

}  // namespace

struct BruteForceIndex::Impl {
  Impl(DistanceMetric m, uint64_t d) : metric(m), dim(d), store(d) {}

  DistanceMetric metric;
  uint64_t dim;
  size_t n = 0;
  GroupStore store;
  std::vector<uint64_t> ids;  // per slot
  // Per slot, null for an empty payload; stays empty until a first non-empty
  // payload arrives, so an index without payloads pays nothing for them.
  std::vector<std::unique_ptr<Payload>> payloads;
  // Per slot, padded to whole groups: Cosine sqrt(dot(v, v)), Euclidean and
  // dot product the pruning norm (h(v), n(v): see kernels.h); empty for
  // Hamming.
  std::vector<float> norms;
  const kernels::PruneMargins margins = kernels::prune_margins(static_cast<size_t>(dim));

  bool has_norms() const { return metric != DistanceMetric::Hamming; }

  // The per-slot norm of a vector of dim floats.
  float slot_norm(const float* v) const {
    if (metric == DistanceMetric::Cosine) {
      std::span<const float> row(v, static_cast<size_t>(dim));
      return std::sqrt(dot_product(row, row));
    }
    const double vsq = kernels::prune_square_norm(v, static_cast<size_t>(dim));
    if (metric == DistanceMetric::DotProduct) return kernels::prune_dot_vector_norm(vsq);
    return kernels::prune_vector_norm(vsq, margins);
  }
  IdMap map;  // id -> slot, seeded per instance

  // The key columns of the filters (see brute_force.h).
  PayloadColumns columns;
  // The payload indexes and the planner's forced branch.
  PayloadIndexes indexes;
  std::atomic<FilterPlan> forced_plan{FilterPlan::Auto};
  const PayloadOf payload_at = [this](size_t slot) -> const Payload& { return payload_of(slot); };

  // What a filtered search scans: the planner's branch, and for Gather and
  // Mask the passing lanes of every group.
  struct Plan {
    ScanKind kind;
    std::vector<uint16_t> masks;
    size_t passing;
  };

  // The planner: the passing slots from the indexes when they decide the
  // filter (unless the matcher is forced), from the columns otherwise; then
  // the scan for that many (choose_scan). Throws std::bad_alloc.
  Plan plan(const Filter& filter, size_t queries) const {
    const FilterPlan forced = forced_plan.load(std::memory_order_relaxed);
    Plan p{ScanKind::Full, {}, n};
    std::vector<uint64_t> bits;
    if (forced != FilterPlan::Matcher && indexes.select_rows(filter.condition, n, payload_at, &bits, &p.passing)) {
      p.masks.resize(bits.size() * (64 / kGroup));
      for (size_t w = 0; w < bits.size(); ++w)
        for (size_t j = 0; j < 64 / kGroup; ++j) p.masks[w * (64 / kGroup) + j] = static_cast<uint16_t>(bits[w] >> (j * kGroup));
    } else {
      p.masks = match_masks(filter, &p.passing);
    }
    p.kind = choose_scan(forced, p.passing, n, queries);
    return p;
  }

  // Copies the passing slots of groups *g, *g + 1, ... into `out` (emptied
  // first) until about `max_rows` (a multiple of 16) are held or the groups
  // end; *g is left at the first group not copied. Unused lanes of the last
  // gathered group are zero. Throws std::bad_alloc.
  void gather(const uint16_t* masks, size_t* g, size_t max_rows, Gathered& out) const {
    const size_t d = static_cast<size_t>(dim);
    out.n = 0;
    out.ids.clear();
    out.data.resize(max_rows / kGroup * d);
    if (has_norms()) out.norms.assign(max_rows, 0.0f);
    const float* base = store.data();
    float* dst = out.data.empty() ? nullptr : out.data.front().v;
    for (; *g < groups() && out.n + kGroup <= max_rows; ++*g) {
      for (unsigned m = masks[*g]; m != 0; m &= m - 1) {
        const size_t lane = static_cast<size_t>(__builtin_ctz(m));
        const size_t slot = *g * kGroup + lane;
        const float* src = base + *g * kGroup * d + lane;
        float* to = dst + (out.n / kGroup) * kGroup * d + out.n % kGroup;
        for (size_t i = 0; i < d; ++i) to[i * kGroup] = src[i * kGroup];
        if (has_norms()) out.norms[out.n] = norms[slot];
        out.ids.push_back(ids[slot]);
        ++out.n;
      }
    }
    if (out.n % kGroup != 0) {
      float* last = dst + (out.n / kGroup) * kGroup * d;
      for (size_t i = 0; i < d; ++i)
        for (size_t l = out.n % kGroup; l < kGroup; ++l) last[i * kGroup + l] = 0.0f;
    }
  }

  kernels::StoreView gathered_view(const Gathered& gd) const {
    const float* norm = has_norms() ? gd.norms.data() : nullptr;
    return kernels::StoreView{gd.data.empty() ? nullptr : gd.data.front().v,
                              metric == DistanceMetric::Cosine ? norm : nullptr,
                              metric == DistanceMetric::Euclidean || metric == DistanceMetric::DotProduct
                                  ? norm : nullptr,
                              nullptr, gd.ids.data(), static_cast<size_t>(dim), gd.n, metric};
  }

  // Appends 16 entries without payload as one whole new group: `batch_ids`
  // are 16 ids, `rows` 16 rows of dim floats. Only when the index ends on a
  // group boundary (n % 16 == 0), every id is absent and the 16 are
  // distinct, and there is memory for them; otherwise returns false and
  // nothing changed.
  bool append_group(const uint64_t* batch_ids, const float* rows) {
    if (n % kGroup != 0) return false;
    try {
      make_room(n + kGroup);
    } catch (const std::bad_alloc&) {
      return false;
    } catch (const std::length_error&) {
      return false;
    }
    for (size_t j = 0; j < kGroup; ++j) map.prefetch(batch_ids[j]);
    for (size_t j = 0; j < kGroup; ++j) {
      if (map.contains(batch_ids[j])) return false;
      for (size_t i = 0; i < j; ++i)
        if (batch_ids[i] == batch_ids[j]) return false;
    }
    // Nothing below allocates.
    const size_t dimension = static_cast<size_t>(dim);
    store.put_group(n, rows);
    if (has_norms()) {
      for (size_t j = 0; j < kGroup; ++j) norms[n + j] = slot_norm(rows + j * dimension);
    }
    for (size_t j = 0; j < kGroup; ++j) {
      ids.push_back(batch_ids[j]);
      if (!payloads.empty()) payloads.push_back(nullptr);
      map.try_emplace(batch_ids[j], n + j);  // room was made: does not allocate
    }
    n += kGroup;
    columns.append_empty(kGroup);
    return true;
  }

  size_t groups() const { return (n + kGroup - 1) / kGroup; }

  // Makes room for `count` vectors in all. Throws std::bad_alloc. `exact`
  // (a reservation) sizes the storage to `count` and makes it present.
  void make_room(size_t count, bool exact = false) {
    const size_t want_groups = (count + kGroup - 1) / kGroup;
    if (!store.make_room(want_groups, exact)) throw std::bad_alloc();
    if (count > ids.capacity()) ids.reserve(std::max(count, ids.capacity() * 2));
    if (!payloads.empty() && count > payloads.capacity())
      payloads.reserve(std::max(count, payloads.capacity() * 2));
    map.reserve(count);
    if (has_norms() && norms.size() < want_groups * kGroup) {
      if (want_groups * kGroup > norms.capacity())
        norms.reserve(std::max(want_groups * kGroup, norms.capacity() * 2));
      norms.resize(want_groups * kGroup, 0.0f);
    }
  }

  const Payload& payload_of(size_t slot) const {
    if (payloads.empty() || !payloads[slot]) return empty_payload();
    return *payloads[slot];
  }

  kernels::StoreView view(const uint16_t* match) const {
    return kernels::StoreView{store.data(), metric == DistanceMetric::Cosine ? norms.data() : nullptr,
                              metric == DistanceMetric::Euclidean || metric == DistanceMetric::DotProduct
                                  ? norms.data() : nullptr,
                              match, ids.data(), static_cast<size_t>(dim), n, metric};
  }

  // Per group, the lanes whose payload passes the filter (*passing: how many
  // entries pass). Decided from the
  // key columns, 64 slots at a time; should the columns not fit in memory,
  // payload by payload. Throws std::bad_alloc.
  std::vector<uint16_t> match_masks(const Filter& filter, size_t* passing) const {
    constexpr size_t kGroupsPerWord = 64 / kGroup;
    std::vector<uint16_t> masks((n + 63) / 64 * kGroupsPerWord, 0);
    *passing = 0;
    if (payloads.empty()) {  // no entry has a payload: all or nothing
      if (filter.matches(empty_payload())) *passing = n;
      return masks;  // the masks are not read when all or nothing passes
    }
    try {
      std::vector<std::shared_ptr<const std::vector<FieldValue>>> held;
      ColumnMatcher matcher(filter.condition, [&](const std::string& key) {
        held.push_back(columns.column(key, n, [&](size_t slot) -> const Payload& { return payload_of(slot); }));
        return held.back()->data();
      });
      for (size_t base = 0; base < n; base += 64) {
        const uint64_t w = matcher.match_word(base, std::min<size_t>(64, n - base));
        *passing += static_cast<size_t>(__builtin_popcountll(w));
        for (size_t j = 0; j < kGroupsPerWord; ++j)
          masks[base / kGroup + j] = static_cast<uint16_t>(w >> (j * kGroup));
      }
    } catch (const std::bad_alloc&) {
      std::fill(masks.begin(), masks.end(), 0);
      *passing = 0;
      for (size_t slot = 0; slot < n; ++slot) {
        if (filter.matches(payload_of(slot))) {
          masks[slot / kGroup] |= static_cast<uint16_t>(1u << (slot % kGroup));
          ++*passing;
        }
      }
    }
    return masks;
  }

  float query_norm(const float* q) const {
    if (metric != DistanceMetric::Cosine) return 0.0f;
    std::span<const float> s(q, static_cast<size_t>(dim));
    return std::sqrt(dot_product(s, s));
  }

  std::vector<SearchResult> results(kernels::TopK& h, bool with_payload) const {
    std::sort(h.hits, h.hits + h.size, ranks_before);
    std::vector<SearchResult> out;
    out.reserve(h.size);
    for (size_t i = 0; i < h.size; ++i) {
      const kernels::Hit& hit = h.hits[i];
      SearchResult r{hit.id, hit.distance, std::nullopt};
      if (with_payload) r.payload = payload_of(static_cast<size_t>(*map.find(hit.id)));
      out.push_back(std::move(r));
    }
    return out;
  }
};

BruteForceIndex::BruteForceIndex(DistanceMetric metric, uint64_t dimension)
    : impl_(std::make_unique<Impl>(metric, dimension)) {}
BruteForceIndex::~BruteForceIndex() = default;
BruteForceIndex::BruteForceIndex(BruteForceIndex&&) noexcept = default;
BruteForceIndex& BruteForceIndex::operator=(BruteForceIndex&&) noexcept = default;

Status BruteForceIndex::insert(uint64_t id, std::span<const float> vector, Payload payload) {
  Impl& m = *impl_;
  if (vector.size() != m.dim) return Error::dimension_mismatch(m.dim, vector.size());
  if (m.map.contains(id)) return Error::duplicate_id(id);
  std::unique_ptr<Payload> owned;
  try {
    m.make_room(m.n + 1);
    if (!payload.empty()) {
      owned = std::make_unique<Payload>(std::move(payload));
      if (m.payloads.empty()) {
        m.payloads.reserve(std::max<size_t>(m.n + 1, m.ids.capacity()));
        m.payloads.resize(m.n);
      }
    }
  } catch (const std::bad_alloc&) {
    return Error::io("insert vector: out of memory");
  } catch (const std::length_error&) {
    return Error::io("insert vector: out of memory");
  }
  // Nothing below allocates.
  const size_t slot = m.n;
  m.store.put(slot, vector.data());
  if (m.has_norms()) m.norms[slot] = m.slot_norm(vector.data());
  m.ids.push_back(id);
  if (!m.payloads.empty() || owned) m.payloads.push_back(std::move(owned));
  if (!m.indexes.empty()) {
    if (slot < UINT32_MAX) {
      m.indexes.add(static_cast<uint32_t>(slot), m.payload_of(slot));
    } else {
      m.indexes = PayloadIndexes();  // slots beyond 32 bits: no index can hold them
    }
  }
  m.map.try_emplace(id, slot);  // room was made: does not allocate
  ++m.n;
  m.columns.append(m.payload_of(slot));
  return ok_status();
}

Status BruteForceIndex::insert_batch(std::span<const uint64_t> ids, std::span<const float> rows,
                                     size_t n) {
  Impl& m = *impl_;
  const size_t dim = static_cast<size_t>(m.dim);
  size_t want = 0;
  if (m.dim != dim || mul_overflows(n, dim, &want) || rows.size() != want)
    return Error::dimension_mismatch(want, rows.size());
  if (ids.size() != n) return Error::dimension_mismatch(n, ids.size());
  if (n > std::numeric_limits<size_t>::max() - m.n) return Error::io("insert vector: out of memory");
  reserve(m.n + n);
  size_t i = 0;
  while (i < n) {
    if (n - i >= kGroup && m.append_group(ids.data() + i, rows.data() + i * dim)) {
      i += kGroup;
      continue;
    }
    // One at a time up to the next group boundary (or through the 16 the
    // group path refused, so an error is reported where insert reports it).
    const size_t partial = m.n % kGroup;
    const size_t stop = std::min(n, i + (partial ? kGroup - partial : kGroup));
    for (; i < stop; ++i) ORVEX_TRY(insert(ids[i], rows.subspan(i * dim, dim), Payload{}));
  }
  return ok_status();
}

bool BruteForceIndex::remove(uint64_t id) {
  Impl& m = *impl_;
  const uint64_t* found = m.map.find(id);
  if (found == nullptr) return false;
  const size_t slot = static_cast<size_t>(*found);
  const size_t last = m.n - 1;
  if (!m.indexes.empty())
    m.indexes.remove(static_cast<uint32_t>(slot), m.payload_of(slot), static_cast<uint32_t>(last), m.payload_of(last));
  if (slot != last) {
    m.store.move(last, slot);
    m.ids[slot] = m.ids[last];
    if (!m.payloads.empty()) m.payloads[slot] = std::move(m.payloads[last]);
    if (m.has_norms()) m.norms[slot] = m.norms[last];
    *m.map.find(m.ids[slot]) = slot;
  }
  m.columns.remove(slot);
  m.store.clear(last);  // padding stays zero
  if (m.has_norms()) m.norms[last] = 0.0f;
  m.ids.pop_back();
  if (!m.payloads.empty()) m.payloads.pop_back();
  m.map.erase(id);
  --m.n;
  return true;
}

std::vector<SearchResult> BruteForceIndex::search(std::span<const float> query, uint64_t k,
                                                  const Filter* filter, bool with_payload) const {
  const Impl& m = *impl_;
  if (query.size() != m.dim || k == 0 || m.n == 0) return {};
  try {
    Impl::Plan plan{ScanKind::Full, {}, m.n};
    if (filter) plan = m.plan(*filter, 1);
    if (plan.kind == ScanKind::Empty) return {};
    const size_t cap = static_cast<size_t>(std::min<uint64_t>(k, m.n));
    std::vector<kernels::Hit> hits(cap);
    kernels::TopK heap{hits.data(), 0, cap};
    const float* q = query.data();
    const float qnorm = m.query_norm(q);
    const kernels::QueryBlock block{&q, &qnorm, &heap, 1};
    if (plan.kind == ScanKind::Gather) {
      Gathered gathered;
      for (size_t g = 0; g < m.groups();) {
        m.gather(plan.masks.data(), &g, kGatherChunk, gathered);
        kernels::active_scan()(m.gathered_view(gathered), block, 0, gathered.groups());
      }
    } else {
      // When every entry passes, the unfiltered scan does the same work faster.
      kernels::active_scan()(m.view(plan.kind == ScanKind::Mask ? plan.masks.data() : nullptr), block, 0,
                             m.groups());
    }
    return m.results(heap, with_payload);
  } catch (const std::bad_alloc&) {
    return {};  // out of memory: documented as an empty result
  }
}

std::vector<std::vector<SearchResult>> BruteForceIndex::search_batch(
    std::span<const float> queries, size_t nq, uint64_t k, const Filter* filter, bool with_payload,
    size_t threads) const {
  const Impl& m = *impl_;
  std::vector<std::vector<SearchResult>> out;
  try {
    out.resize(nq);
    size_t want;
    if (mul_overflows(nq, static_cast<size_t>(m.dim), &want) || queries.size() != want ||
        m.dim != static_cast<size_t>(m.dim) || k == 0 || m.n == 0)
      return out;
    Impl::Plan plan{ScanKind::Full, {}, m.n};
    if (filter) plan = m.plan(*filter, nq);
    if (plan.kind == ScanKind::Empty) return out;
    // Gathered once, the passing entries serve every query of the batch.
    Gathered gathered;
    size_t groups = m.groups();
    kernels::StoreView view = m.view(plan.kind == ScanKind::Mask ? plan.masks.data() : nullptr);
    if (plan.kind == ScanKind::Gather) {
      size_t g = 0;
      m.gather(plan.masks.data(), &g, (plan.passing + 2 * kGroup - 1) / kGroup * kGroup, gathered);
      view = m.gathered_view(gathered);
      groups = gathered.groups();
    }
    const kernels::ScanFn scan = kernels::active_scan();
    // Unfiltered Euclidean and dot-product scans skip the exact distance of
    // lanes that provably cannot enter (see kernels.h); the results are the
    // same.
    const kernels::PruneFn prune = (view.prune_norms && !view.match && m.margins.usable)
                                       ? kernels::active_prune() : nullptr;
    const size_t cap = static_cast<size_t>(std::min<uint64_t>(k, m.n));
    const size_t dim = static_cast<size_t>(m.dim);

    // Cache tiles: a run of groups small enough to stay in the core's L2
    // cache is scanned by every query of a chunk before moving on.
    constexpr size_t kTileBytes = size_t{192} << 10;  // leaves room for the queries
    const size_t group_bytes = kGroup * dim * sizeof(float);
    // Queries per chunk, bounding the selection scratch memory.
    constexpr size_t kMaxHeapHits = size_t{1} << 20;
    const size_t chunk = std::max<size_t>(1, std::min(nq, kMaxHeapHits / cap));
    // Work is split by queries when each thread gets enough of them to fill
    // its register blocks, otherwise by groups (each part keeps its own
    // heaps, merged afterwards). The result order is total, so any split
    // gives the same results.
    const size_t want_threads = std::min<size_t>(resolve_threads(threads), std::max<size_t>(groups, 1));
    constexpr size_t kMinQueriesPerThread = 8;

    std::vector<kernels::Hit> hits;
    std::vector<kernels::TopK> heaps;
    std::vector<const float*> qptr;
    std::vector<float> qnorm;
    std::vector<double> qsq;
    std::vector<kernels::PruneState> prune_state;
    for (size_t q0 = 0; q0 < nq; q0 += chunk) {
      const size_t cn = std::min(chunk, nq - q0);
      const bool by_queries = cn >= kMinQueriesPerThread * want_threads;
      const size_t parts = parallel_parts(by_queries ? cn : groups, want_threads);
      const size_t heap_sets = by_queries ? 1 : parts;
      hits.resize(heap_sets * cn * cap);
      heaps.resize(heap_sets * cn);
      qptr.resize(cn);
      qnorm.resize(cn);
      if (prune) {
        qsq.resize(cn);
        prune_state.assign(heap_sets * cn, kernels::PruneState{kernels::kPruneUnset, 0.0f, 0.0f, 0.0f});
      }
      for (size_t i = 0; i < heap_sets * cn; ++i) heaps[i] = kernels::TopK{hits.data() + i * cap, 0, cap};
      for (size_t i = 0; i < cn; ++i) {
        qptr[i] = queries.data() + (q0 + i) * dim;
        qnorm[i] = m.query_norm(qptr[i]);
        if (prune) qsq[i] = kernels::prune_square_norm(qptr[i], dim);
      }
      // Part p scans queries [qa, qb) against groups [ga, gb).
      parallel_for(by_queries ? cn : groups, want_threads, [&](size_t p, size_t begin, size_t end) {
        size_t qa = 0, qb = cn, ga = 0, gb = groups;
        kernels::TopK* part_heaps = heaps.data();
        if (by_queries) {
          qa = begin;
          qb = end;
        } else {
          ga = begin;
          gb = end;
          part_heaps += p * cn;
        }
        const kernels::QueryBlock block{qptr.data() + qa, qnorm.data() + qa, part_heaps + qa, qb - qa};
        // A lone query has nothing to share a tile with: one forward stream.
        const size_t tile = (group_bytes == 0 || block.nq == 1)
                                ? gb - ga
                                : std::max<size_t>(1, kTileBytes / group_bytes);
        for (size_t g = ga; g < gb; g += tile) {
          if (prune) {
            prune(view, block, qsq.data() + qa, prune_state.data() + (part_heaps - heaps.data()) + qa,
                  m.margins, g, std::min(gb, g + tile), scan);
          } else {
            scan(view, block, g, std::min(gb, g + tile));
          }
        }
      });
      for (size_t i = 0; i < cn; ++i) {
        for (size_t p = 1; p < heap_sets; ++p) {
          const kernels::TopK& part = heaps[p * cn + i];
          for (size_t h = 0; h < part.size; ++h) kernels::topk_offer(heaps[i], part.hits[h]);
        }
        out[q0 + i] = m.results(heaps[i], with_payload);
      }
    }
    return out;
  } catch (const std::bad_alloc&) {
    return std::vector<std::vector<SearchResult>>(out.size());
  }
}

bool BruteForceIndex::contains(uint64_t id) const { return impl_->map.contains(id); }

bool BruteForceIndex::get(uint64_t id, std::vector<float>* vector, Payload* payload) const {
  const Impl& m = *impl_;
  const uint64_t* slot = m.map.find(id);
  if (slot == nullptr) return false;
  vector->resize(static_cast<size_t>(m.dim));
  m.store.get(static_cast<size_t>(*slot), vector->data());
  *payload = m.payload_of(static_cast<size_t>(*slot));
  return true;
}

std::vector<uint64_t> BruteForceIndex::ids() const { return impl_->ids; }

size_t BruteForceIndex::len() const { return impl_->n; }

void BruteForceIndex::reserve(size_t n) {
  try {
    impl_->make_room(n, /*exact=*/true);
  } catch (const std::bad_alloc&) {
    // Only a hint: the insertions will ask again.
  } catch (const std::length_error&) {
  }
}

uint64_t BruteForceIndex::dimension() const { return impl_->dim; }

Status BruteForceIndex::create_index(const std::string& key) {
  Impl& m = *impl_;
  if (m.indexes.find(key) != nullptr) return ok_status();
  if (m.indexes.keys().size() >= kMaxIndexes) return Error::payload_error("create index: at most 32 keys are indexed");
  if (m.n >= UINT32_MAX) return Error::payload_error("create index: more than 2^32 - 1 entries");
  try {
    m.indexes.create(key, m.n, m.payload_at);
  } catch (const std::bad_alloc&) {
    return Error::io("create index: out of memory");
  } catch (const std::length_error&) {
    return Error::io("create index: out of memory");
  }
  return ok_status();
}

bool BruteForceIndex::drop_index(const std::string& key) { return impl_->indexes.drop(key); }

std::vector<std::string> BruteForceIndex::indexes() const { return impl_->indexes.keys(); }

std::vector<std::pair<std::string, uint64_t>> BruteForceIndex::index_memory() const {
  return impl_->indexes.memory();
}

void BruteForceIndex::set_filter_plan(FilterPlan plan) { impl_->forced_plan.store(plan, std::memory_order_relaxed); }

DistanceMetric BruteForceIndex::metric() const { return impl_->metric; }

}  // namespace orvex
