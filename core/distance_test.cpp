// distance() and the index's scans on every kernel path (single, batched,
// filtered) against a scalar reference, and top k against a full sort.
#include "distance.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <random>
#include <set>

#include "filter.h"
#include "index/brute_force.h"
#include "index/dispatch.h"

namespace orvex {
namespace {

using M = DistanceMetric;
using Vec = std::vector<float>;
const float kInf = INFINITY, kNan = NAN;

// Blocks of 16 summed left to right from their first term, each block sum
// added to a total starting at +0.0, then the tail term by term.
float blocked(const Vec& t) {
  float total = 0.0f;
  size_t i = 0;
  for (; i + 16 <= t.size(); i += 16) {
    float s = t[i];
    for (size_t j = i + 1; j < i + 16; ++j) s = s + t[j];
    total = total + s;
  }
  for (; i < t.size(); ++i) total = total + t[i];
  return total;
}

float reference(M m, const Vec& q, const Vec& v) {
  Vec qq, vv, qv, t;
  for (size_t i = 0; i < q.size(); ++i) {
    qq.push_back(q[i] * q[i]), vv.push_back(v[i] * v[i]), qv.push_back(q[i] * v[i]);
    t.push_back(m == M::Hamming ? (q[i] > 0.5f) != (v[i] > 0.5f) : (q[i] - v[i]) * (q[i] - v[i]));
  }
  if (m == M::DotProduct) return -blocked(qv);
  if (m != M::Cosine) return m == M::Euclidean ? std::sqrt(blocked(t)) : blocked(t);
  const float norms = std::sqrt(blocked(qq)) * std::sqrt(blocked(vv));
  return norms == 0.0f ? 1.0f : 1.0f - blocked(qv) / norms;
}

bool same_bits(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// Magnitudes 1e-3..1e3 of both signs (any other summing order rounds
// differently), exact 0.5 and -0.0; kind 1: zero vector; kind 2: a huge
// component (squares and products overflow, inf - inf is NaN); kind 3: NaN.
Vec adversarial(std::mt19937& rng, size_t dim, size_t kind) {
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> exp10(-3, 3), pick(0, 9);
  Vec v(dim);
  for (float& x : v) x = pick(rng) == 0 ? 0.5f : pick(rng) == 0 ? -0.0f : normal(rng) * std::pow(10.0f, exp10(rng));
  if (kind == 1) std::fill(v.begin(), v.end(), 0.0f);
  if (kind == 2 && dim > 0) v[rng() % dim] = rng() % 2 ? 3e19f : -3e19f;
  if (kind == 3 && dim > 0) v[rng() % dim] = kNan;
  return v;
}

// The oracle: all candidates sorted by distance (NaN after every number),
// equal distances by id, cut at k; every distance has its reference bits.
void expect_top_k(const std::vector<SearchResult>& got, const std::map<uint64_t, float>& all, uint64_t k) {
  std::vector<std::pair<float, uint64_t>> want;
  for (const auto& [id, d] : all) want.emplace_back(d, id);
  std::stable_sort(want.begin(), want.end(), [](const auto& a, const auto& b) {
    return std::isnan(b.first) ? !std::isnan(a.first) : a.first < b.first;
  });  // stable: ties keep the map's id order
  want.resize(std::min<size_t>(k, want.size()));
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].second) << "rank " << i;
    EXPECT_TRUE(same_bits(got[i].distance, all.at(want[i].second))) << "rank " << i << ": " << got[i].distance;
  }
}

// Rows copied to the very end of a readable mapping whose next page cannot be
// read: a scan that reads past its queries faults.
class AtPageEnd {
 public:
  explicit AtPageEnd(const Vec& rows) : n_(rows.size()) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = (n_ * sizeof(float) + page - 1) / page * page + page;
    base_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base_ == MAP_FAILED) throw std::bad_alloc();
    char* guard = static_cast<char*>(base_) + size_ - page;
    if (mprotect(guard, page, PROT_NONE) != 0) throw std::bad_alloc();
    data_ = reinterpret_cast<float*>(guard) - n_;
    std::copy(rows.begin(), rows.end(), data_);
  }
  AtPageEnd(const AtPageEnd&) = delete;
  AtPageEnd& operator=(const AtPageEnd&) = delete;
  ~AtPageEnd() { munmap(base_, size_); }
  std::span<const float> rows() const { return {data_, n_}; }

 private:
  size_t n_, size_ = 0;
  void* base_ = nullptr;
  float* data_ = nullptr;
};

class Kernels : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (!kernel_path_available(GetParam())) GTEST_SKIP() << "kernel path not available on this CPU";
    ASSERT_TRUE(set_kernel_path(GetParam()));
    ASSERT_EQ(active_kernel_path(), GetParam());
  }
  void TearDown() override {
    set_kernel_path(KernelPath::Auto);
    kernels::set_pruning(true);
  }
};

TEST(Distance, DefinedExamples) {
  Vec big(32, 1.0f), ones(32, 1.0f);
  big[0] = 0x1p24f;  // dot 2^24 + 16: a plain left-to-right sum would lose every 1
  const struct { M m; Vec q, v; float want; } cases[] = {
      {M::DotProduct, big, ones, -(0x1p24f + 16.0f)}, {M::Cosine, {1, 1}, {1, 1}, -0x1p-23f},
      {M::Cosine, {0, 0}, {1, 2}, 1.0f}, {M::Cosine, {0, 0}, {kInf, 1}, kNan}, {M::DotProduct, {1, 0}, {0, 1}, -0.0f},
      {M::Hamming, {0.5f, 0.6f}, {0, 1}, 0.0f}, {M::Euclidean, {0, 0}, {3, 4}, 5.0f},
      {M::Cosine, {1e-30f}, {1e-30f}, 1.0f}};  // the norms' product underflows to 0
  for (const auto& c : cases) EXPECT_TRUE(same_bits(distance(c.m, c.q, c.v), c.want)) << metric_name(c.m);
}

// 100 entries less 2 removed, in groups of 16 (the last one part full);
// every sixth repeats an earlier one (ties). Removal moves the last entry into
// the hole, so the filter passes group 0 whole, group 1 not at all, group 2 in
// part, none after it. A lone query reads the first four groups as strands
// and the other three after them. 17 queries fill uneven register blocks; 2
// threads split them, 3 split the groups. Batches run with pruning and
// without: the unfiltered exact scan of whole blocks of 16 has register
// blocks of its own.
TEST_P(Kernels, SearchesMatchReferenceAndFullSort) {
  const Filter some = Filter::exists("p");
  const auto pass = [](uint64_t i) { return i < 16 || i == 99 || (i >= 32 && i < 38 && i % 2 == 0); };
  for (M m : {M::Euclidean, M::Cosine, M::DotProduct, M::Hamming}) {
    for (size_t dim : {0, 1, 15, 16, 17, 31, 32, 33, 100, 128}) {
      SCOPED_TRACE(std::string(metric_name(m)) + " dim " + std::to_string(dim));
      std::mt19937 rng(static_cast<uint32_t>(dim * 4 + static_cast<size_t>(m)));
      BruteForceIndex index(m, dim);
      std::map<uint64_t, Vec> stored;
      for (uint64_t i = 0; i < 100; ++i) {
        stored[i] = i % 6 == 5 ? stored[i - 5] : adversarial(rng, dim, i % 6);
        ASSERT_TRUE(index.insert(i, stored[i], pass(i) ? Payload{{{"p", true}}} : Payload{}).ok());
      }
      for (uint64_t id : {3, 18}) ASSERT_TRUE(index.remove(id) && stored.erase(id));
      Vec queries;
      std::vector<std::map<uint64_t, float>> all(17), filtered(17);
      for (size_t j = 0; j < 17; ++j) {
        const Vec q = j == 3 ? stored[4] : adversarial(rng, dim, j % 3);
        queries.insert(queries.end(), q.begin(), q.end());
        for (const auto& [id, v] : stored) {
          all[j][id] = reference(m, q, v);
          EXPECT_TRUE(same_bits(distance(m, q, v), all[j][id])) << "query " << j << " id " << id;
          if (pass(id)) filtered[j][id] = all[j][id];
        }
      }
      for (uint64_t k : {1, 5, 40}) {
        for (const Filter* f : {static_cast<const Filter*>(nullptr), &some}) {
          for (size_t j = 0; j < 17; ++j)
            expect_top_k(index.search(std::span(queries).subspan(j * dim, dim), k, f), (f ? filtered : all)[j], k);
          for (size_t threads : {1, 2, 3}) {
            for (bool pruning : {true, false}) {
              kernels::set_pruning(pruning);  // TearDown turns it back on
              const auto batch = index.search_batch(queries, 17, k, f, false, threads);
              ASSERT_EQ(batch.size(), 17u);
              for (size_t j = 0; j < 17; ++j) expect_top_k(batch[j], (f ? filtered : all)[j], k);
            }
          }
        }
      }
    }
  }
}

// Batched Euclidean and dot-product scans skip lanes on an approximate
// distance; the results must still be those of the exact distances. Near-ties at a large offset
// (the approximation errs by far more than the gaps), neighbours one ulp
// apart, exact duplicates, tiny and subnormal, huge, NaN, inf and zero
// vectors; queries of the same kinds. 9 queries fill uneven register blocks.
// (Lanes are skipped a group of 16 at a time, and never the group of a NaN,
// inf or huge lane.)
TEST_P(Kernels, PrunedBatchMatchesExactDistances) {
  std::normal_distribution<float> normal;
  for (const auto& [m, dim] : std::vector<std::pair<M, size_t>>{
           {M::Euclidean, 1}, {M::Euclidean, 15}, {M::Euclidean, 16}, {M::Euclidean, 17}, {M::Euclidean, 128},
           {M::DotProduct, 1}, {M::DotProduct, 17}, {M::DotProduct, 128}}) {
    SCOPED_TRACE(std::string(metric_name(m)) + " dim " + std::to_string(dim));
    std::mt19937 rng(static_cast<uint32_t>(dim));
    const auto make = [&](size_t kind, const Vec& prev) {
      Vec v(dim);
      for (float& x : v) x = 1000.0f + 0.01f * normal(rng);  // kind 0: the cluster
      const size_t c = rng() % dim;
      if (kind == 1) v = prev, v[c] = std::nextafter(prev[c], kInf);
      if (kind == 2) v = prev;
      if (kind == 3) for (float& x : v) x = rng() % 2 ? 1e-30f * normal(rng) : 1e-41f * normal(rng);
      if (kind == 4) std::fill(v.begin(), v.end(), 0.0f);
      if (kind == 5) v[rng() % dim] = 1e19f;
      if (kind == 6) v[rng() % dim] = rng() % 2 ? kNan : -kInf;
      if (kind == 7) for (float& x : v) x = normal(rng);
      if (kind == 9) std::fill(v.begin(), v.end(), -1.0f);
      if (kind == 10) {  // against kind 9: a one-pass sum absorbs every small term, the exact sum not
        std::fill(v.begin(), v.end(), 0.0f);
        v[0] = -1e8f;
        for (size_t i = 16; i < std::min<size_t>(dim, 32); ++i) v[i] = -static_cast<float>(rng() % 3);
      }
      return v;
    };
    BruteForceIndex index(m, dim);
    std::vector<Vec> stored;
    for (uint64_t i = 0; i < 272; ++i) {
      // Every third group holds every kind; the others 3 near-ties and 13
      // far vectors, so a group is skipped whole only when its near-ties are;
      // two more groups of one huge and some small components.
      const size_t kind = i >= 240 ? 10 : i / 16 % 3 == 2 ? i % 8 : i % 16 < 3 ? i % 16 : 7;
      stored.push_back(make(kind, i ? stored.back() : Vec(dim)));
      ASSERT_TRUE(index.insert(i, stored.back()).ok());
    }
    Vec queries;
    std::vector<std::map<uint64_t, float>> all(9);
    for (size_t j = 0; j < 9; ++j) {
      // The last two (huge, NaN or inf) are never pruned, nor is their block.
      const size_t kind[] = {0, 0, 9, 3, 4, 7, 8, 5, 6};
      const Vec q = kind[j] == 8 ? stored[100] : make(kind[j], stored[j]);
      queries.insert(queries.end(), q.begin(), q.end());
      for (uint64_t id = 0; id < stored.size(); ++id) all[j][id] = reference(m, q, stored[id]);
    }
    for (uint64_t k : {1, 10, 240}) {
      for (size_t nq : {7, 9}) {
        const auto batch = index.search_batch(std::span(queries).first(nq * dim), nq, k, nullptr, false, nq - 6);
        for (size_t j = 0; j < nq; ++j) expect_top_k(batch[j], all[j], k);
      }
    }
  }
}

// The exact batch scan, unpruned, on plain data: long enough for the heaps
// to fill (k = 300) and for each query of a register block to meet its own
// candidates in groups where the others meet none.
TEST_P(Kernels, ExactBatchMatchesReference) {
  kernels::set_pruning(false);
  std::normal_distribution<float> normal;
  for (M m : {M::Euclidean, M::DotProduct}) {
    for (size_t dim : {16, 48, 128}) {
      SCOPED_TRACE(std::string(metric_name(m)) + " dim " + std::to_string(dim));
      std::mt19937 rng(static_cast<uint32_t>(dim));
      const auto row = [&] {
        Vec v(dim);
        for (float& x : v) x = normal(rng);
        return v;
      };
      BruteForceIndex index(m, dim);
      std::vector<Vec> stored;
      for (uint64_t i = 0; i < 1000; ++i) {
        stored.push_back(row());
        ASSERT_TRUE(index.insert(i, stored.back()).ok());
      }
      Vec queries;
      std::vector<std::map<uint64_t, float>> all(13);
      for (size_t j = 0; j < 13; ++j) {
        const Vec q = row();
        queries.insert(queries.end(), q.begin(), q.end());
        for (uint64_t id = 0; id < stored.size(); ++id) all[j][id] = reference(m, q, stored[id]);
      }
      // Twelve queries fill whole register blocks, so the last one is read
      // by a block too; it ends where reading stops being allowed.
      const AtPageEnd twelve(Vec(queries.begin(), queries.begin() + 12 * dim));
      for (uint64_t k : {1, 10, 300}) {
        const auto batch = index.search_batch(queries, 13, k);
        for (size_t j = 0; j < 13; ++j) expect_top_k(batch[j], all[j], k);
        const auto guarded = index.search_batch(twelve.rows(), 12, k);
        for (size_t j = 0; j < 12; ++j) expect_top_k(guarded[j], all[j], k);
      }
    }
  }
}

const char* const kPathNames[] = {"Auto", "Portable", "Avx2", "Avx512"};
INSTANTIATE_TEST_SUITE_P(Paths, Kernels, ::testing::Values(KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512),
                         [](const auto& info) { return kPathNames[static_cast<int>(info.param)]; });

}  // namespace
}  // namespace orvex
