#include "group_store.h"

#include <sys/mman.h>

#include <algorithm>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "../parallel.h"

namespace orvex {

using kernels::kGroup;

GroupStore::~GroupStore() {
  if (data_) munmap(data_, bytes_);
}

bool GroupStore::make_room(size_t groups, bool exact) {
  // Bytes of one group of 16 vectors.
  size_t gb;
  if (dim_ > std::numeric_limits<size_t>::max() / kGroup ||
      __builtin_mul_overflow(kGroup * static_cast<size_t>(dim_), sizeof(float), &gb))
    return false;
  if (gb == 0) return true;
  const size_t have_groups = bytes_ / gb;
  if (groups <= have_groups) return true;
  const size_t target = exact ? groups : std::max(groups, have_groups * 2);
  size_t bytes;
  if (!__builtin_mul_overflow(target, gb, &bytes) && grow_to(bytes, exact)) return true;
  return !__builtin_mul_overflow(groups, gb, &bytes) && grow_to(bytes, exact);
}

bool GroupStore::grow_to(size_t bytes, bool populate) {
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
    parallel_for(fresh_bytes / page, std::min(resolve_threads(0), fresh_bytes / kMinPartBytes),
                 [&](size_t, size_t a, size_t b) { madvise(fresh + a * page, (b - a) * page, MADV_POPULATE_WRITE); });
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

void GroupStore::put_group(size_t slot, const float* rows) {
  // 4 x 4 blocks at a time; the group is 16-byte aligned.
  static_assert(kGroup == 16);
  const size_t dim = static_cast<size_t>(dim_);
  float* group = lane(slot);
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

}  // namespace orvex
