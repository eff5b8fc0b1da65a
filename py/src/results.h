// What the methods of both classes share beyond the call protocol: the
// metric table and the building of search results.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

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

}  // namespace orvex::py
