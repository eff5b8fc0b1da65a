// Conversion of Python arguments to the core's values.
//
// Every converter takes the parameter's name, converts the whole object
// before returning, and on failure returns false with a Python exception set:
// a TypeError is re-raised as "argument 'NAME': <message>" (keeping the
// replaced exception's __cause__); any other exception (OverflowError,
// UnicodeEncodeError, what the object's own methods raised) is left as it is.
//
// Float vectors, id lists and vector lists accept any object that passes
// Python's sequence check and is not a str. The general path iterates the
// object and converts each item with Python's float (or integer) conversion.
// Fast paths give exactly the same values without per-item Python calls:
//   - an exact list or tuple whose items are exact floats / ints is read by
//     index (no Python code can run meanwhile, so nothing can change it);
//   - an object exposing the buffer protocol with a float32 or float64
//     format ("f", "d", with "@", "=" or "<" on little-endian machines) is
//     read directly: 1-D (any stride) for a vector, 2-D C-contiguous for a
//     vector list (not a memoryview, whose rows cannot be iterated);
//   - a 1-D integer buffer ("b", "B", "h", "H", "i", "I", "l", "L", "q",
//     "Q", "n", "N") for an id list; a negative value raises Python's own
//     OverflowError.
// Any other object, or a buffer of another format or layout, takes the
// general path.
//
// The length an object reports only sizes a reservation: a failing or
// lying length (2**62, negative, raising) is ignored or capped.
//
// All functions need the interpreter lock. Python code may run during a
// conversion (an item's __float__, __index__, __iter__, __len__).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvex::py {

// Float vectors of possibly different lengths, stored one after the other in
// one contiguous buffer. Row i is flat()[offsets[i] .. offsets[i + 1]).
//
// The buffer is either owned or, for a C-contiguous float32 matrix converted
// with `borrow` allowed, the exporter's own memory, held through the buffer
// protocol until the VectorList is destroyed (destroy it with the
// interpreter lock held). Borrowing is only sound when no Python code can
// run between the conversion and the last use of the rows.
class VectorList {
 public:
  VectorList() = default;
  ~VectorList();
  VectorList(const VectorList&) = delete;
  VectorList& operator=(const VectorList&) = delete;

  size_t size() const { return offsets_.size() - 1; }
  std::span<const float> row(size_t i) const {
    return {base() + offsets_[i], offsets_[i + 1] - offsets_[i]};
  }
  // Whether every row holds exactly `dimension` components.
  bool uniform(uint64_t dimension) const;
  // All rows, back to back (meaningful as a matrix when uniform()).
  std::span<const float> flat() const { return {base(), offsets_.back()}; }

  std::vector<float>& data() { return data_; }
  // Closes the row being appended to data().
  void end_row() { offsets_.push_back(data_.size()); }
  // Declares `rows` rows of `cols` components appended to data() at once.
  void add_rows(size_t rows, size_t cols);
  void reserve_rows(size_t rows);
  // Takes over `view` (a held buffer of rows * cols float32, row-major,
  // suitably aligned) as the rows of this still empty list.
  void borrow(const Py_buffer& view, size_t rows, size_t cols);

 private:
  const float* base() const { return holds_view_ ? borrowed_ : data_.data(); }

  std::vector<float> data_;
  std::vector<size_t> offsets_{0};
  Py_buffer view_{};
  bool holds_view_ = false;
  const float* borrowed_ = nullptr;
};

// Python's float -> float32 rounding: nearest, ties to even; values beyond
// the float32 range become infinities; NaN stays NaN. Never undefined.
inline float round_to_f32(double d) {
  if (std::fabs(d) <= static_cast<double>(FLT_MAX) || std::isnan(d)) return static_cast<float>(d);
  // Halfway between FLT_MAX and 2**128: from here on the nearest is infinity.
  constexpr double kHalfwayToInfinity = 0x1.ffffffp127;
  if (d >= kHalfwayToInfinity) return INFINITY;
  if (d <= -kHalfwayToInfinity) return -INFINITY;
  return d > 0 ? FLT_MAX : -FLT_MAX;
}

// Unsigned 64-bit integer: int (and subclasses) directly, other objects via
// __index__. 2**64-1 is a valid value.
bool convert_u64(PyObject* obj, const char* name, uint64_t& out);
// str (and subclasses) only, encoded as UTF-8.
bool convert_text(PyObject* obj, const char* name, std::string& out);
// Replaces `out` with the converted vector.
bool convert_vector(PyObject* obj, const char* name, std::vector<float>& out);
bool convert_ids(PyObject* obj, const char* name, std::vector<uint64_t>& out);
// With `borrow`, a C-contiguous float32 matrix is not copied (see
// VectorList); the caller must run no Python code while it uses the rows.
bool convert_vectors(PyObject* obj, const char* name, VectorList& out, bool borrow = false);

}  // namespace orvex::py
