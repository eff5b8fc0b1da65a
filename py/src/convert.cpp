#include "convert.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "args.h"

namespace orvex::py {

namespace {

// Largest reservation made from a length the object reports (elements). A
// real longer sequence still converts, growing as it goes.
constexpr size_t kMaxHintedElements = size_t{1} << 20;

template <class T>
void reserve_from_hint(std::vector<T>& v, size_t extra) {
  try {
    v.reserve(v.size() + std::min(extra, kMaxHintedElements));
  } catch (...) {
    // The hint is only a hint: a reservation that fails is skipped.
  }
}

// The length an object reports, or 0 when it cannot say.
size_t length_hint(PyObject* obj) {
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<size_t>(n);
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return;
  Ref text(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target));
  if (!text) return;
  Ref exc(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (exc) PyErr_SetObject(PyExc_TypeError, exc.get());
}

// The checks every list-like parameter makes first.
bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    raise_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_cannot_convert(obj, "Sequence");
    return false;
  }
  return true;
}

// ---- buffers -------------------------------------------------------------

enum class Elem { Other, F32, F64, Signed, Unsigned };

struct Format {
  Elem elem = Elem::Other;
  Py_ssize_t size = 0;
};

// Understands the single-item native / little-endian numeric formats.
Format parse_format(const char* format, Py_ssize_t itemsize) {
  if (format == nullptr) format = "B";
  if (*format == '@' || *format == '=') {
    ++format;
  } else if (*format == '<') {
    if constexpr (std::endian::native != std::endian::little) return {};
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') return {};
  Elem elem = Elem::Other;
  switch (format[0]) {
    case 'f': elem = itemsize == 4 ? Elem::F32 : Elem::Other; break;
    case 'd': elem = itemsize == 8 ? Elem::F64 : Elem::Other; break;
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': elem = Elem::Signed; break;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': elem = Elem::Unsigned; break;
    default: return {};
  }
  if ((elem == Elem::Signed || elem == Elem::Unsigned) &&
      itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) {
    return {};
  }
  return {elem, itemsize};
}

// A buffer held for the duration of a conversion.
class HeldBuffer {
 public:
  // Requests strides and format; an exporter that refuses is not an error
  // (the general path takes over), so its exception is cleared.
  explicit HeldBuffer(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj)) return;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return;
    }
    held_ = true;
    format_ = parse_format(view_.format, view_.itemsize);
  }
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  bool held() const { return held_; }
  const Py_buffer& view() const { return view_; }
  // Hands the held buffer over to the caller, who must release it.
  Py_buffer release() {
    held_ = false;
    return view_;
  }
  const Format& format() const { return format_; }
  Py_ssize_t stride(int dim) const {
    if (view_.strides != nullptr) return view_.strides[dim];
    Py_ssize_t s = view_.itemsize;
    for (int d = view_.ndim - 1; d > dim; --d) s *= view_.shape[d];
    return s;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
  Format format_;
};

bool is_float(const Format& f) { return f.elem == Elem::F32 || f.elem == Elem::F64; }

// Appends n components starting at `base`, `stride` bytes apart.
void append_floats(const char* base, size_t n, Py_ssize_t stride, Elem elem, std::vector<float>& out) {
  const size_t start = out.size();
  out.resize(start + n);
  float* dst = out.data() + start;
  if (elem == Elem::F32) {
    if (stride == static_cast<Py_ssize_t>(sizeof(float))) {
      if (n > 0) std::memcpy(dst, base, n * sizeof(float));
      return;
    }
    for (size_t i = 0; i < n; ++i) std::memcpy(dst + i, base + static_cast<Py_ssize_t>(i) * stride, sizeof(float));
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    double d;
    std::memcpy(&d, base + static_cast<Py_ssize_t>(i) * stride, sizeof d);
    dst[i] = round_to_f32(d);
  }
}

// Reads a 1-D float buffer. Returns false when the object has none.
bool append_buffer_vector(PyObject* obj, std::vector<float>& out) {
  HeldBuffer buffer(obj);
  if (!buffer.held() || !is_float(buffer.format()) || buffer.view().ndim != 1) return false;
  append_floats(static_cast<const char*>(buffer.view().buf), static_cast<size_t>(buffer.view().shape[0]),
                buffer.stride(0), buffer.format().elem, out);
  return true;
}

// ---- float vectors -------------------------------------------------------

enum class Fast { Done, NotApplicable, Failed };

// An exact list or tuple of exact floats / ints, read by index.
Fast append_exact_sequence(PyObject* obj, std::vector<float>& out) {
  const bool is_list = PyList_CheckExact(obj);
  if (!is_list && !PyTuple_CheckExact(obj)) return Fast::NotApplicable;
  const Py_ssize_t n = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
  const size_t start = out.size();
  out.resize(start + static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    double d;
    if (PyFloat_CheckExact(item) || PyLong_CheckExact(item)) {
      // Neither conversion runs Python code.
      d = PyFloat_AsDouble(item);
      if (d == -1.0 && PyErr_Occurred()) {
        out.resize(start);
        return Fast::Failed;
      }
    } else {
      out.resize(start);
      return Fast::NotApplicable;
    }
    out[start + static_cast<size_t>(i)] = round_to_f32(d);
  }
  return Fast::Done;
}

bool append_general_vector(PyObject* obj, std::vector<float>& out) {
  reserve_from_hint(out, length_hint(obj));
  Ref iterator(PyObject_GetIter(obj));
  if (!iterator) return false;
  while (true) {
    Ref item(PyIter_Next(iterator.get()));
    if (!item) return !PyErr_Occurred();
    const double d = PyFloat_AsDouble(item.get());
    if (d == -1.0 && PyErr_Occurred()) return false;
    out.push_back(round_to_f32(d));
  }
}

// Appends one converted vector to `out`; raw (unprefixed) errors.
bool append_vector(PyObject* obj, std::vector<float>& out) {
  if (!check_sequence(obj)) return false;
  switch (append_exact_sequence(obj, out)) {
    case Fast::Done: return true;
    case Fast::Failed: return false;
    case Fast::NotApplicable: break;
  }
  if (append_buffer_vector(obj, out)) return true;
  return append_general_vector(obj, out);
}

// ---- ids -----------------------------------------------------------------

bool u64_from(PyObject* obj, uint64_t& out) {
  unsigned long long v;
  if (PyLong_Check(obj)) {
    v = PyLong_AsUnsignedLongLong(obj);
  } else {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    v = PyLong_AsUnsignedLongLong(index.get());
  }
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// Raises the OverflowError Python gives for a negative value.
void raise_negative(long long value) {
  Ref number(PyLong_FromLongLong(value));
  if (!number) return;
  (void)PyLong_AsUnsignedLongLong(number.get());
  if (!PyErr_Occurred()) raise_message(PyExc_OverflowError, "can't convert negative int to unsigned");
}

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Reads a 1-D integer buffer: Done, NotApplicable or Failed (negative).
Fast append_buffer_ids(PyObject* obj, std::vector<uint64_t>& out) {
  HeldBuffer buffer(obj);
  const Format& f = buffer.format();
  if (!buffer.held() || buffer.view().ndim != 1 || (f.elem != Elem::Signed && f.elem != Elem::Unsigned)) {
    return Fast::NotApplicable;
  }
  const size_t n = static_cast<size_t>(buffer.view().shape[0]);
  const Py_ssize_t stride = buffer.stride(0);
  const char* base = static_cast<const char*>(buffer.view().buf);
  out.reserve(out.size() + n);
  for (size_t i = 0; i < n; ++i) {
    const char* p = base + static_cast<Py_ssize_t>(i) * stride;
    if (f.elem == Elem::Unsigned) {
      switch (f.size) {
        case 1: out.push_back(load<uint8_t>(p)); break;
        case 2: out.push_back(load<uint16_t>(p)); break;
        case 4: out.push_back(load<uint32_t>(p)); break;
        default: out.push_back(load<uint64_t>(p)); break;
      }
      continue;
    }
    int64_t v;
    switch (f.size) {
      case 1: v = load<int8_t>(p); break;
      case 2: v = load<int16_t>(p); break;
      case 4: v = load<int32_t>(p); break;
      default: v = load<int64_t>(p); break;
    }
    if (v < 0) {
      raise_negative(v);
      return Fast::Failed;
    }
    out.push_back(static_cast<uint64_t>(v));
  }
  return Fast::Done;
}

Fast append_exact_ids(PyObject* obj, std::vector<uint64_t>& out) {
  const bool is_list = PyList_CheckExact(obj);
  if (!is_list && !PyTuple_CheckExact(obj)) return Fast::NotApplicable;
  const Py_ssize_t n = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
  const size_t start = out.size();
  out.reserve(start + static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    if (!PyLong_CheckExact(item)) {
      out.resize(start);
      return Fast::NotApplicable;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(item);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Fast::Failed;
    out.push_back(v);
  }
  return Fast::Done;
}

bool append_ids(PyObject* obj, std::vector<uint64_t>& out) {
  if (!check_sequence(obj)) return false;
  for (auto fast : {append_exact_ids, append_buffer_ids}) {
    switch (fast(obj, out)) {
      case Fast::Done: return true;
      case Fast::Failed: return false;
      case Fast::NotApplicable: break;
    }
  }
  reserve_from_hint(out, length_hint(obj));
  Ref iterator(PyObject_GetIter(obj));
  if (!iterator) return false;
  while (true) {
    Ref item(PyIter_Next(iterator.get()));
    if (!item) return !PyErr_Occurred();
    uint64_t id;
    if (!u64_from(item.get(), id)) return false;
    out.push_back(id);
  }
}

// ---- vector lists --------------------------------------------------------

// A 2-D C-contiguous float buffer, read in one pass (or not at all when it
// may be borrowed).
bool append_buffer_matrix(PyObject* obj, VectorList& out, bool borrow) {
  if (PyMemoryView_Check(obj)) return false;
  HeldBuffer buffer(obj);
  if (!buffer.held() || !is_float(buffer.format()) || buffer.view().ndim != 2) return false;
  if (!PyBuffer_IsContiguous(&buffer.view(), 'C')) return false;
  const size_t rows = static_cast<size_t>(buffer.view().shape[0]);
  const size_t cols = static_cast<size_t>(buffer.view().shape[1]);
  const bool aligned = reinterpret_cast<uintptr_t>(buffer.view().buf) % alignof(float) == 0;
  if (borrow && aligned && buffer.format().elem == Elem::F32 && out.size() == 0) {
    out.borrow(buffer.release(), rows, cols);
    return true;
  }
  out.reserve_rows(rows);
  append_floats(static_cast<const char*>(buffer.view().buf), rows * cols, buffer.view().itemsize,
                buffer.format().elem, out.data());
  out.add_rows(rows, cols);
  return true;
}

bool append_vectors(PyObject* obj, VectorList& out, bool borrow) {
  if (!check_sequence(obj)) return false;
  if (append_buffer_matrix(obj, out, borrow)) return true;
  out.reserve_rows(length_hint(obj));
  Ref iterator(PyObject_GetIter(obj));
  if (!iterator) return false;
  while (true) {
    Ref item(PyIter_Next(iterator.get()));
    if (!item) return !PyErr_Occurred();
    if (!append_vector(item.get(), out.data())) return false;
    out.end_row();
  }
}

}  // namespace

VectorList::~VectorList() {
  if (holds_view_) PyBuffer_Release(&view_);
}

void VectorList::borrow(const Py_buffer& view, size_t rows, size_t cols) {
  view_ = view;
  holds_view_ = true;
  borrowed_ = static_cast<const float*>(view.buf);
  add_rows(rows, cols);
}

void VectorList::add_rows(size_t rows, size_t cols) {
  const size_t start = offsets_.back();
  offsets_.reserve(offsets_.size() + rows);
  for (size_t r = 1; r <= rows; ++r) offsets_.push_back(start + r * cols);
}

bool VectorList::uniform(uint64_t dimension) const {
  for (size_t i = 0; i + 1 < offsets_.size(); ++i) {
    if (offsets_[i + 1] - offsets_[i] != dimension) return false;
  }
  return true;
}

void VectorList::reserve_rows(size_t rows) {
  try {
    offsets_.reserve(offsets_.size() + std::min(rows, kMaxHintedElements));
  } catch (...) {
    // Only a hint.
  }
}

bool convert_u64(PyObject* obj, const char* name, uint64_t& out) {
  if (u64_from(obj, out)) return true;
  prefix_type_error(name);
  return false;
}

bool convert_text(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    prefix_type_error(name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    prefix_type_error(name);
    return false;
  }
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

bool convert_vector(PyObject* obj, const char* name, std::vector<float>& out) {
  out.clear();
  if (append_vector(obj, out)) return true;
  prefix_type_error(name);
  return false;
}

bool convert_ids(PyObject* obj, const char* name, std::vector<uint64_t>& out) {
  out.clear();
  if (append_ids(obj, out)) return true;
  prefix_type_error(name);
  return false;
}

bool convert_vectors(PyObject* obj, const char* name, VectorList& out, bool borrow) {
  if (append_vectors(obj, out, borrow)) return true;
  prefix_type_error(name);
  return false;
}

}  // namespace orvex::py
