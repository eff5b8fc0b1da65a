#include "brute_force.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <new>
#include <random>
#include <stdexcept>
#include <thread>

#include <sched.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "../filter.h"
#include "../id_map.h"
#include "kernels.h"

namespace orvex {

namespace {

using kernels::kGroup;

// The threads a call may use: `threads`, or with 0 every core this
// process may run on.
size_t resolve_threads(size_t threads) {
  if (threads > 0) return threads;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// Runs task(0) .. task(count - 1), task 0 on the calling thread and the
// others on threads that live only for this call. Should a thread not
// start, its task runs on the calling thread instead.
template <class Task>
void run_tasks(size_t count, Task&& task) {
  std::vector<std::thread> workers;
  std::vector<size_t> inline_tasks;
  for (size_t t = 1; t < count; ++t) {
    try {
      workers.emplace_back(task, t);
    } catch (const std::system_error&) {
      inline_tasks.push_back(t);
    } catch (const std::bad_alloc&) {
      inline_tasks.push_back(t);
    }
  }
  task(0);
  for (size_t t : inline_tasks) task(t);
  for (std::thread& w : workers) w.join();
}

// Page-aligned (so 64-byte aligned), zero-initialised float storage that
// grows in place or moves without copying through mremap. Fresh pages are
// zero and cost no memory until written.
class GroupStore {
 public:
  GroupStore() = default;
  GroupStore(const GroupStore&) = delete;
  GroupStore& operator=(const GroupStore&) = delete;
  ~GroupStore() {
    if (data_) munmap(data_, bytes_);
  }

  float* data() const { return data_; }
  size_t bytes() const { return bytes_; }

  // Grows to at least `bytes`; false when the memory is not available
  // (the contents are then unchanged). With `populate`, the new pages are
  // made present at once (one system call instead of a page fault per page,
  // for a size the caller announced it will fill).
  bool grow_to(size_t bytes, bool populate = false) {
    if (bytes <= bytes_) return true;
    const size_t page = 4096;
    if (bytes > std::numeric_limits<size_t>::max() - page) return false;
    bytes = (bytes + page - 1) / page * page;
    void* p;
    if (data_) {
      p = mremap(data_, bytes_, bytes, MREMAP_MAYMOVE);
    } else {
      p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    if (p == MAP_FAILED) return false;
    char* fresh = static_cast<char*>(p) + bytes_;
    const size_t fresh_bytes = bytes - bytes_;
#ifdef MADV_POPULATE_WRITE
    if (populate) {
      // Only a speed-up: the new pages are made present at once, in small
      // pages (one system call instead of a fault per page; on failure they
      // fault in on first write). A large range is shared among the cores
      // the process may use: the kernel's work of clearing pages is most of
      // a first large insertion's cost (measured 2x faster on two cores).
      constexpr size_t kMinPartBytes = size_t{64} << 20;
      const size_t parts = std::max<size_t>(1, std::min(resolve_threads(0), fresh_bytes / kMinPartBytes));
      run_tasks(parts, [&](size_t p) {
        const size_t a = fresh_bytes * p / parts / page * page;
        const size_t b = p + 1 == parts ? fresh_bytes : fresh_bytes * (p + 1) / parts / page * page;
        madvise(fresh + a, b - a, MADV_POPULATE_WRITE);
      });
    }
#endif
#ifdef MADV_HUGEPAGE
    // Only a speed-up: 2 MiB pages spare the scan a page walk every 4 KiB
    // (measured about a fifth faster on a memory-bound scan). Asked for
    // after populating, so the kernel merges pages in the background rather
    // than compacting memory while the caller waits (a first large
    // insertion measured twice as slow that way).
    madvise(p, bytes, MADV_HUGEPAGE);
#endif
    data_ = static_cast<float*>(p);
    bytes_ = bytes;
    return true;
  }

 private:
  float* data_ = nullptr;
  size_t bytes_ = 0;
};

// *out = a * b; true when that overflows.
bool mul_overflows(size_t a, size_t b, size_t* out) { return __builtin_mul_overflow(a, b, out); }

// Copies 16 rows of `dim` floats (row r at rows + r * dim) into one group:
// component c of row r goes to group[c * 16 + r]. `group` is 16-byte
// aligned. A plain copy of the bits, 4 x 4 blocks at a time.
void transpose_into_group(const float* rows, size_t dim, float* group) {
  static_assert(kGroup == 16);
  size_t c = 0;
#if defined(__SSE2__)
  for (; c + 4 <= dim; c += 4) {
    for (size_t r = 0; r < kGroup; r += 4) {
      const float* src = rows + r * dim + c;
      __m128 a = _mm_loadu_ps(src);
      __m128 b = _mm_loadu_ps(src + dim);
      __m128 e = _mm_loadu_ps(src + 2 * dim);
      __m128 f = _mm_loadu_ps(src + 3 * dim);
      _MM_TRANSPOSE4_PS(a, b, e, f);
      float* dst = group + c * kGroup + r;
      _mm_store_ps(dst, a);
      _mm_store_ps(dst + kGroup, b);
      _mm_store_ps(dst + 2 * kGroup, e);
      _mm_store_ps(dst + 3 * kGroup, f);
    }
  }
#endif
  for (; c < dim; ++c)
    for (size_t r = 0; r < kGroup; ++r) group[c * kGroup + r] = rows[r * dim + c];
}

bool ranks_before(const kernels::Hit& a, const kernels::Hit& b) { return kernels::ranks_after(b, a); }

const Payload& empty_payload() {
  static const Payload empty;
  return empty;
}

const Json* find_field(const Payload& payload, const std::string& key) {
  auto it = payload.data.find(key);
  return it == payload.data.end() ? nullptr : &it->second;
}

// Columns kept for at most this many payload keys (the least recently used
// one goes first); each costs 16 bytes per entry.
constexpr size_t kMaxColumns = 8;

}  // namespace

struct BruteForceIndex::Impl {
  Impl(DistanceMetric m, uint64_t d) : metric(m), dim(d) {}

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

  // Per payload key a filter asked about: that key's value per slot, kept in
  // step by insert and remove. Searches share the cache under column_mutex
  // (they may run concurrently); a search holds its columns through
  // shared_ptr, so an eviction while it runs frees nothing it reads. insert
  // and remove run alone and update the columns without the mutex.
  struct Column {
    std::string key;
    std::shared_ptr<std::vector<FieldValue>> cells;
    uint64_t last_use;
  };
  mutable std::mutex column_mutex;
  mutable std::vector<Column> columns;
  mutable uint64_t column_clock = 0;

  // The column of `key`, built on first use. Throws std::bad_alloc.
  std::shared_ptr<const std::vector<FieldValue>> column(const std::string& key) const {
    std::lock_guard<std::mutex> lock(column_mutex);
    for (Column& c : columns) {
      if (c.key == key) {
        c.last_use = ++column_clock;
        return c.cells;
      }
    }
    auto cells = std::make_shared<std::vector<FieldValue>>();
    cells->reserve(n);
    for (size_t slot = 0; slot < n; ++slot) cells->push_back(FieldValue::of(find_field(payload_of(slot), key)));
    Column fresh{key, cells, ++column_clock};
    if (columns.size() < kMaxColumns) {
      columns.push_back(std::move(fresh));
    } else {
      auto oldest = std::min_element(columns.begin(), columns.end(),
                                     [](const Column& a, const Column& b) { return a.last_use < b.last_use; });
      *oldest = std::move(fresh);
    }
    return cells;
  }

  // After insert put a payload at slot n - 1: extends every column. A column
  // that cannot grow is dropped (it is rebuilt when next asked for).
  void columns_append() {
    const Payload& p = payload_of(n - 1);
    for (size_t i = 0; i < columns.size();) {
      try {
        columns[i].cells->push_back(FieldValue::of(find_field(p, columns[i].key)));
        ++i;
      } catch (const std::bad_alloc&) {
        columns.erase(columns.begin() + static_cast<std::ptrdiff_t>(i));
      } catch (const std::length_error&) {
        columns.erase(columns.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }

  // After `count` entries without payload were appended: extends every
  // column by as many empty cells (a column that cannot grow is dropped).
  void columns_append_empty(size_t count) {
    if (columns.empty()) return;
    const FieldValue none = FieldValue::of(nullptr);
    for (size_t i = 0; i < columns.size();) {
      try {
        columns[i].cells->insert(columns[i].cells->end(), count, none);
        ++i;
      } catch (const std::bad_alloc&) {
        columns.erase(columns.begin() + static_cast<std::ptrdiff_t>(i));
      } catch (const std::length_error&) {
        columns.erase(columns.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
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
    transpose_into_group(rows, dimension, lane_base(n));
    if (has_norms()) {
      for (size_t j = 0; j < kGroup; ++j) norms[n + j] = slot_norm(rows + j * dimension);
    }
    for (size_t j = 0; j < kGroup; ++j) {
      ids.push_back(batch_ids[j]);
      if (!payloads.empty()) payloads.push_back(nullptr);
      map.try_emplace(batch_ids[j], n + j);  // room was made: does not allocate
    }
    n += kGroup;
    columns_append_empty(kGroup);
    return true;
  }

  size_t groups() const { return (n + kGroup - 1) / kGroup; }

  // Bytes of one group of 16 vectors; false when that overflows.
  bool group_bytes(size_t* out) const {
    if (dim > std::numeric_limits<size_t>::max() / kGroup) return false;
    return !mul_overflows(kGroup * static_cast<size_t>(dim), sizeof(float), out);
  }

  // Makes room for `count` vectors in all. Throws std::bad_alloc. `exact`
  // (a reservation) sizes the storage to `count` and makes it present.
  void make_room(size_t count, bool exact = false) {
    const size_t want_groups = (count + kGroup - 1) / kGroup;
    size_t gb;
    if (!group_bytes(&gb)) throw std::bad_alloc();
    if (gb > 0) {
      size_t have_groups = store.bytes() / gb;
      if (want_groups > have_groups) {
        size_t target = exact ? want_groups : std::max(want_groups, have_groups * 2);
        size_t bytes;
        if (mul_overflows(target, gb, &bytes) || !store.grow_to(bytes, exact)) {
          if (mul_overflows(want_groups, gb, &bytes) || !store.grow_to(bytes, exact))
            throw std::bad_alloc();
        }
      }
    }
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

  float* lane_base(size_t slot) const {
    return store.data() + (slot / kGroup) * (kGroup * dim) + slot % kGroup;
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
        held.push_back(column(key));
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
  float* dst = m.lane_base(slot);
  for (size_t i = 0; i < vector.size(); ++i) dst[i * kGroup] = vector[i];
  if (m.has_norms()) m.norms[slot] = m.slot_norm(vector.data());
  m.ids.push_back(id);
  if (!m.payloads.empty() || owned) m.payloads.push_back(std::move(owned));
  m.map.try_emplace(id, slot);  // room was made: does not allocate
  ++m.n;
  m.columns_append();
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
  float* hole = m.lane_base(slot);
  float* tail = m.lane_base(last);
  if (slot != last) {
    for (size_t i = 0; i < m.dim; ++i) hole[i * kGroup] = tail[i * kGroup];
    m.ids[slot] = m.ids[last];
    if (!m.payloads.empty()) m.payloads[slot] = std::move(m.payloads[last]);
    if (m.has_norms()) m.norms[slot] = m.norms[last];
    *m.map.find(m.ids[slot]) = slot;
    for (Impl::Column& c : m.columns) (*c.cells)[slot] = (*c.cells)[last];
  }
  for (Impl::Column& c : m.columns) c.cells->pop_back();
  for (size_t i = 0; i < m.dim; ++i) tail[i * kGroup] = 0.0f;  // padding stays zero
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
    std::vector<uint16_t> masks;
    size_t passing = m.n;
    if (filter) masks = m.match_masks(*filter, &passing);
    if (passing == 0) return {};
    const size_t cap = static_cast<size_t>(std::min<uint64_t>(k, m.n));
    std::vector<kernels::Hit> hits(cap);
    kernels::TopK heap{hits.data(), 0, cap};
    const float* q = query.data();
    const float qnorm = m.query_norm(q);
    const kernels::QueryBlock block{&q, &qnorm, &heap, 1};
    // When every entry passes, the unfiltered scan does the same work faster.
    kernels::active_scan()(m.view(passing < m.n ? masks.data() : nullptr), block, 0, m.groups());
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
    std::vector<uint16_t> masks;
    size_t passing = m.n;
    if (filter) masks = m.match_masks(*filter, &passing);
    if (passing == 0) return out;
    const kernels::StoreView view = m.view(passing < m.n ? masks.data() : nullptr);
    const kernels::ScanFn scan = kernels::active_scan();
    // Unfiltered Euclidean and dot-product scans skip the exact distance of
    // lanes that provably cannot enter (see kernels.h); the results are the
    // same.
    const kernels::PruneFn prune = (view.prune_norms && !view.match && m.margins.usable)
                                       ? kernels::active_prune() : nullptr;
    const size_t cap = static_cast<size_t>(std::min<uint64_t>(k, m.n));
    const size_t dim = static_cast<size_t>(m.dim);
    const size_t groups = m.groups();

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
      const size_t parts = by_queries ? std::min(want_threads, cn) : want_threads;
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
      auto scan_part = [&](size_t p) {
        size_t qa = 0, qb = cn, ga = 0, gb = groups;
        kernels::TopK* part_heaps = heaps.data();
        if (by_queries) {
          qa = cn * p / parts;
          qb = cn * (p + 1) / parts;
        } else {
          ga = groups * p / parts;
          gb = groups * (p + 1) / parts;
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
      };
      run_tasks(parts, scan_part);
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
  const float* lane = m.lane_base(static_cast<size_t>(*slot));
  vector->resize(static_cast<size_t>(m.dim));
  for (size_t i = 0; i < vector->size(); ++i) (*vector)[i] = lane[i * kGroup];
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

DistanceMetric BruteForceIndex::metric() const { return impl_->metric; }

}  // namespace orvex
