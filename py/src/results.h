// What the methods of both classes share beyond the call protocol: the
// metric table and the building of search results.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "convert.h"
#include "distance.h"
#include "index/brute_force.h"

namespace orvex::py {

// "euclidean", "cosine", "dot" (exact, case-sensitive); false for any other
// text, with nothing set.
bool match_metric(const std::string& text, DistanceMetric& out);

// Sets ValueError "Invalid metric".
void raise_invalid_metric();

// [(id, distance), ...] in the order given; distances widened exactly to
// double. New reference, or nullptr with an exception set.
PyObject* results_to_list(const std::vector<SearchResult>& results);
PyObject* batch_results_to_list(const std::vector<std::vector<SearchResult>>& results);

// Runs `queries` against `target` (a BruteForceIndex or a Collection) with no
// filter and builds the list of result lists. Rows of the target's dimension
// go through one batched search; otherwise each query is searched alone (a
// query of another length finds nothing).
template <class Target>
PyObject* search_batch_to_list(const Target& target, uint64_t dimension, const VectorList& queries,
                               uint64_t k) {
  if (queries.size() > 0 && queries.uniform(dimension)) {
    return batch_results_to_list(
        target.search_batch(queries.flat(), queries.size(), k, nullptr, /*with_payload=*/false));
  }
  std::vector<std::vector<SearchResult>> results;
  results.reserve(queries.size());
  for (size_t i = 0; i < queries.size(); ++i) {
    results.push_back(target.search(queries.row(i), k, {}, /*with_payload=*/false));
  }
  return batch_results_to_list(results);
}

// A method of any signature as the PyCFunction a PyMethodDef holds.
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

}  // namespace orvex::py
