// Distance metrics, computed bit-exactly in 32-bit floats.
//
// dot_product: the running total starts at +0.0; each whole block of 16 terms
// is summed left to right into its own partial sum (starting from its first
// product), which is then added to the total; the remaining terms are added
// one at a time. Every product and every sum is rounded to float on its own:
// no fused multiply-add, no reassociation, no wider accumulator. Euclidean
// uses the same scheme over (q_i - v_i)^2 and takes the square root.
//
// Every dispatch path (portable, AVX2, AVX-512) gives the same bits.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace orvex {

enum class DistanceMetric : uint8_t { Euclidean = 0, Cosine = 1, DotProduct = 2, Hamming = 3 };

// "Euclidean", "Cosine", "DotProduct", "Hamming".
std::string_view metric_name(DistanceMetric metric);
// The metric metric_name gives `name` for; nullopt for any other text.
std::optional<DistanceMetric> metric_named(std::string_view name);

// The blocked dot product over the common length of a and b.
float dot_product(std::span<const float> a, std::span<const float> b);

// Distance of stored vector v from query q (equal lengths; otherwise over the
// common length); smaller is nearer:
//   Euclidean   sqrt of the blocked sum of (q_i - v_i) * (q_i - v_i)
//   Cosine      1 - D / (|q| * |v|) with D = dot_product(q, v) and
//               |x| = sqrt(dot_product(x, x)); exactly 1.0 when the product of
//               the norms is zero (a NaN product gives NaN)
//   DotProduct  -dot_product(q, v) (so an orthogonal pair gives -0.0)
//   Hamming     the count of i where exactly one of q_i > 0.5, v_i > 0.5 holds
// This is the plain scalar reference; the index's kernels give the same bits.
float distance(DistanceMetric metric, std::span<const float> q, std::span<const float> v);

// Kernel paths (the dispatch: index/dispatch.h). `Auto` picks the best the
// CPU offers; tests force each path available to check that they agree bit
// for bit.
enum class KernelPath : uint8_t { Auto, Portable, Avx2, Avx512 };

// Whether this CPU (and build) can run `path` (Auto and Portable always).
bool kernel_path_available(KernelPath path);
// Chooses the path used by searches from now on; Auto picks the best the CPU
// offers. Setting an unavailable path changes nothing and returns false.
// Safe to call at any time (a search already running keeps the path it
// started with); meant for tests and benchmarks.
bool set_kernel_path(KernelPath path);
// The path searches use now: Portable, Avx2 or Avx512, never Auto.
KernelPath active_kernel_path();

}  // namespace orvex
