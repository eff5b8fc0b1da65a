#include "results.h"

#include <cmath>

#include "args.h"
#include "json_convert.h"

namespace orvex::py {

bool match_metric(const std::string& text, DistanceMetric& out) {
  if (text == "euclidean") {
    out = DistanceMetric::Euclidean;
  } else if (text == "cosine") {
    out = DistanceMetric::Cosine;
  } else if (text == "dot") {
    out = DistanceMetric::DotProduct;
  } else {
    return false;
  }
  return true;
}

void raise_invalid_metric() { raise_message(PyExc_ValueError, "Invalid metric"); }

PyObject* results_to_list(const std::vector<SearchResult>& results, bool with_payload) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    Ref id(PyLong_FromUnsignedLongLong(results[i].id));
    if (!id) return nullptr;
    Ref distance(PyFloat_FromDouble(static_cast<double>(results[i].distance)));
    if (!distance) return nullptr;
    Ref payload;
    if (with_payload) {
      payload = Ref(payload_to_dict(results[i].payload ? *results[i].payload : Payload{}));
      if (!payload) return nullptr;
    }
    Ref item(PyTuple_New(with_payload ? 3 : 2));
    if (!item) return nullptr;
    PyTuple_SetItem(item.get(), 0, id.release());        // steals
    PyTuple_SetItem(item.get(), 1, distance.release());  // steals
    if (with_payload) PyTuple_SetItem(item.get(), 2, payload.release());
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list.release();
}

PyObject* batch_results_to_list(const std::vector<std::vector<SearchResult>>& results, bool with_payload) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    PyObject* inner = results_to_list(results[i], with_payload);
    if (inner == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), inner);
  }
  return list.release();
}

namespace {

// numpy.frombuffer(bytes, dtype).reshape(shape...): a new array that owns a
// copy of `bytes`.
PyObject* numpy_array(PyObject* numpy, const void* data, size_t bytes, const char* dtype, Py_ssize_t rows,
                      Py_ssize_t cols, bool two_d) {
  Ref buffer(PyByteArray_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes)));
  if (!buffer) return nullptr;
  Ref flat(PyObject_CallMethod(numpy, "frombuffer", "Os", buffer.get(), dtype));
  if (!flat) return nullptr;
  if (!two_d) return flat.release();
  return PyObject_CallMethod(flat.get(), "reshape", "nn", rows, cols);
}

}  // namespace

PyObject* batch_results_to_numpy(const std::vector<std::vector<SearchResult>>& results, size_t width) {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  const size_t rows = results.size();
  std::vector<uint64_t> ids(rows * width, UINT64_MAX);
  std::vector<float> distances(rows * width, INFINITY);
  std::vector<int64_t> counts(rows);
  for (size_t r = 0; r < rows; ++r) {
    const size_t n = std::min(width, results[r].size());
    counts[r] = static_cast<int64_t>(n);
    for (size_t i = 0; i < n; ++i) {
      ids[r * width + i] = results[r][i].id;
      distances[r * width + i] = results[r][i].distance;
    }
  }
  const auto R = static_cast<Py_ssize_t>(rows), W = static_cast<Py_ssize_t>(width);
  Ref a(numpy_array(numpy.get(), ids.data(), ids.size() * 8, "uint64", R, W, true));
  Ref b(a ? numpy_array(numpy.get(), distances.data(), distances.size() * 4, "float32", R, W, true) : nullptr);
  Ref c(b ? numpy_array(numpy.get(), counts.data(), counts.size() * 8, "int64", R, 1, false) : nullptr);
  if (!c) return nullptr;
  return PyTuple_Pack(3, a.get(), b.get(), c.get());
}

}  // namespace orvex::py
