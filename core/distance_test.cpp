#include "distance.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace orvex {
namespace {

// The definition, written as plainly as possible: the oracle.
float oracle_blocked(const std::vector<float>& terms) {
  float total = 0.0f;
  const size_t whole = terms.size() / 16 * 16;
  for (size_t b = 0; b < whole; b += 16) {
    float s = terms[b];
    for (size_t i = 1; i < 16; ++i) s = s + terms[b + i];
    total = total + s;
  }
  for (size_t i = whole; i < terms.size(); ++i) total = total + terms[i];
  return total;
}

float oracle_dot(const std::vector<float>& a, const std::vector<float>& b) {
  std::vector<float> t(a.size());
  for (size_t i = 0; i < a.size(); ++i) t[i] = a[i] * b[i];
  return oracle_blocked(t);
}

float oracle_distance(DistanceMetric m, const std::vector<float>& q, const std::vector<float>& v) {
  switch (m) {
    case DistanceMetric::Euclidean: {
      std::vector<float> t(q.size());
      for (size_t i = 0; i < q.size(); ++i) {
        const float d = q[i] - v[i];
        t[i] = d * d;
      }
      return std::sqrt(oracle_blocked(t));
    }
    case DistanceMetric::Cosine: {
      const float p = std::sqrt(oracle_dot(q, q)) * std::sqrt(oracle_dot(v, v));
      if (p == 0.0f) return 1.0f;
      return 1.0f - oracle_dot(q, v) / p;
    }
    case DistanceMetric::DotProduct:
      return -oracle_dot(q, v);
    case DistanceMetric::Hamming: {
      uint64_t c = 0;
      for (size_t i = 0; i < q.size(); ++i) c += (q[i] > 0.5f) != (v[i] > 0.5f);
      return static_cast<float>(c);
    }
  }
  return 0.0f;
}

bool same_bits(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

float d(DistanceMetric m, std::vector<float> q, std::vector<float> v) { return distance(m, q, v); }

TEST(MetricName, TextForms) {
  EXPECT_EQ(metric_name(DistanceMetric::Euclidean), "Euclidean");
  EXPECT_EQ(metric_name(DistanceMetric::Cosine), "Cosine");
  EXPECT_EQ(metric_name(DistanceMetric::DotProduct), "DotProduct");
  EXPECT_EQ(metric_name(DistanceMetric::Hamming), "Hamming");
}

TEST(DotProduct, BlockSumsKeepTheOnesThatALeftToRightSumLoses) {
  std::vector<float> a(32, 1.0f), b(32, 1.0f);
  a[0] = 16777216.0f;  // 2^24
  EXPECT_EQ(dot_product(a, b), 16777216.0f + 16.0f);
  // The plain left-to-right sum would have lost every one.
  float plain = 0.0f;
  for (size_t i = 0; i < 32; ++i) plain += a[i] * b[i];
  EXPECT_EQ(plain, 16777216.0f);
}

TEST(DotProduct, UnequalLengthsUseWholeBlocksAndTailOfBoth) {
  std::vector<float> a(20, 2.0f), b(18, 3.0f);
  // One block (96) and the shorter tail of 2 terms (12).
  EXPECT_EQ(dot_product(a, b), 108.0f);
  EXPECT_EQ(dot_product({}, b), 0.0f);
}

TEST(Distance, DefinedExamples) {
  using M = DistanceMetric;
  EXPECT_EQ(d(M::Euclidean, {0, 0}, {3, 4}), 5.0f);
  EXPECT_EQ(d(M::Euclidean, {1.5f, -2}, {1.5f, -2}), 0.0f);
  EXPECT_EQ(d(M::Cosine, {0, 0}, {1, 2}), 1.0f);
  EXPECT_EQ(d(M::Cosine, {1, 2}, {0, 0}), 1.0f);
  EXPECT_EQ(d(M::Cosine, {1, 1}, {1, 1}), -std::ldexp(1.0f, -23));
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(std::isnan(d(M::Cosine, {0, 0}, {inf, 1})));  // inf * 0 is NaN, not the 1.0 branch
  // Squared norms that underflow to zero take the 1.0 branch.
  EXPECT_EQ(d(M::Cosine, {1e-30f}, {1e-30f}), 1.0f);
  const float orth = d(M::DotProduct, {1, 0}, {0, 1});
  EXPECT_EQ(orth, 0.0f);
  EXPECT_TRUE(std::signbit(orth));
  EXPECT_EQ(d(M::DotProduct, {1, 2}, {1, 2}), -5.0f);
  EXPECT_EQ(d(M::Hamming, {0.5f, 0.6f}, {0.0f, 1.0f}), 0.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(d(M::Hamming, {nan, 0.6f, 0.7f}, {0.0f, 0.0f, 1.0f}), 1.0f);
  for (M m : {M::Euclidean, M::Hamming}) EXPECT_EQ(d(m, {}, {}), 0.0f);
  EXPECT_EQ(d(M::Cosine, {}, {}), 1.0f);
  EXPECT_TRUE(std::signbit(d(M::DotProduct, {}, {})));
}

class DistanceOracle : public ::testing::TestWithParam<std::tuple<DistanceMetric, size_t>> {};

TEST_P(DistanceOracle, BitExact) {
  const auto [metric, dim] = GetParam();
  std::mt19937 rng(static_cast<uint32_t>(dim * 7 + static_cast<size_t>(metric)));
  std::normal_distribution<float> normal(0.0f, 3.0f);
  std::uniform_int_distribution<int> pick(0, 19);
  for (int rep = 0; rep < 20; ++rep) {
    std::vector<float> q(dim), v(dim);
    for (size_t i = 0; i < dim; ++i) {
      const int p = pick(rng);
      q[i] = p == 0 ? 1e18f * normal(rng) : (p == 1 ? 0.5f : normal(rng));
      v[i] = pick(rng) == 0 ? -1e17f : normal(rng) * 1000.0f;
    }
    EXPECT_TRUE(same_bits(distance(metric, q, v), oracle_distance(metric, q, v)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Dims, DistanceOracle,
    ::testing::Combine(::testing::Values(DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                         DistanceMetric::DotProduct, DistanceMetric::Hamming),
                       ::testing::Values(0, 1, 15, 16, 17, 31, 32, 33, 100, 128, 768)));

TEST(KernelPath, SelectionAndAvailability) {
  EXPECT_TRUE(kernel_path_available(KernelPath::Portable));
  EXPECT_TRUE(kernel_path_available(KernelPath::Auto));
  ASSERT_TRUE(set_kernel_path(KernelPath::Portable));
  EXPECT_EQ(active_kernel_path(), KernelPath::Portable);
  for (KernelPath p : {KernelPath::Avx2, KernelPath::Avx512}) {
    const bool avail = kernel_path_available(p);
    EXPECT_EQ(set_kernel_path(p), avail);
    EXPECT_EQ(active_kernel_path(), avail ? p : KernelPath::Portable);
    ASSERT_TRUE(set_kernel_path(KernelPath::Portable));
  }
  ASSERT_TRUE(set_kernel_path(KernelPath::Auto));
  EXPECT_NE(active_kernel_path(), KernelPath::Auto);
}

}  // namespace
}  // namespace orvex
