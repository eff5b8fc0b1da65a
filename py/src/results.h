// What the methods of both classes share beyond the call protocol: the
// metric table and the building of search results.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "convert.h"
#include "distance.h"
#include "filter.h"
#include "index/brute_force.h"

namespace orvex::py {

// "euclidean", "cosine", "dot" (exact, case-sensitive); false for any other
// text, with nothing set.
bool match_metric(const std::string& text, DistanceMetric& out);

// Sets ValueError "Invalid metric".
void raise_invalid_metric();

// [(id, distance), ...] in the order given, or (id, distance, payload)
// triples with `with_payload`; distances widened exactly to double. New
// reference, or nullptr with an exception set.
PyObject* results_to_list(const std::vector<SearchResult>& results, bool with_payload = false);
PyObject* batch_results_to_list(const std::vector<std::vector<SearchResult>>& results, bool with_payload);

// (ids, distances, counts): uint64 and float32 arrays of shape
// (len(results), width), rows padded with id 2**64 - 1 and distance inf,
// and an int64 array of the results per row. Imports numpy; no Python
// object per result.
PyObject* batch_results_to_numpy(const std::vector<std::vector<SearchResult>>& results, size_t width);

// A method of any signature as the PyCFunction a PyMethodDef holds.
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

}  // namespace orvex::py
