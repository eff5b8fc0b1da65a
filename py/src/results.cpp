#include "results.h"

#include "args.h"

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

PyObject* results_to_list(const std::vector<SearchResult>& results) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    Ref id(PyLong_FromUnsignedLongLong(results[i].id));
    if (!id) return nullptr;
    Ref distance(PyFloat_FromDouble(static_cast<double>(results[i].distance)));
    if (!distance) return nullptr;
    Ref pair(PyTuple_New(2));
    if (!pair) return nullptr;
    PyTuple_SetItem(pair.get(), 0, id.release());        // steals
    PyTuple_SetItem(pair.get(), 1, distance.release());  // steals
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list.release();
}

PyObject* batch_results_to_list(const std::vector<std::vector<SearchResult>>& results) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    PyObject* inner = results_to_list(results[i]);
    if (inner == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), inner);
  }
  return list.release();
}

}  // namespace orvex::py
