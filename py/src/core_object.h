// What the two classes share: the object layout (one core object and a
// borrow counter), its creation and destruction, and the methods whose
// behaviour is the same on both, written once over the core type
// (BruteForceIndex for Index, Collection for Collection).
//
// Every method follows the call protocol of args.h: bind the arguments,
// take the borrow, convert every argument, call the core, build the result.
#pragma once

#include <memory>
#include <type_traits>
#include <vector>

#include "args.h"
#include "collection.h"
#include "convert.h"
#include "index/brute_force.h"
#include "results.h"

namespace orvex::py {

template <class Core>
struct CoreObject {
  PyObject_HEAD
  Core* core;          // owned; null only while the object is built
  Py_ssize_t borrow;   // 0 free, n > 0 shared, -1 exclusive
};

// "Index" or "Collection", for the binding messages ("Index.insert()").
template <class Core>
inline constexpr const char* kClassName = std::is_same_v<Core, Collection> ? "Collection" : "Index";

inline uint64_t dimension_of(const BruteForceIndex& index) { return index.dimension(); }
inline uint64_t dimension_of(const Collection& collection) { return collection.config().dimension; }

template <class Core>
CoreObject<Core>* as_object(PyObject* self) {
  return reinterpret_cast<CoreObject<Core>*>(self);
}

// A new instance of `type` owning `core`; nullptr with an exception set.
template <class Core>
PyObject* wrap_core(PyTypeObject* type, std::unique_ptr<Core> core) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_object<Core>(self)->core = core.release();
  as_object<Core>(self)->borrow = 0;
  return self;
}

// Destroys the core object (a Collection writes out its buffers, without a
// sync) and frees the instance.
template <class Core>
void dealloc_core(PyObject* self) {
  delete as_object<Core>(self)->core;
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// Binds `names`, takes the borrow and runs body(core, bound): the frame of
// every method with arguments.
template <class Core, size_t N, class Body>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs, const char* method_name,
                 const char* const (&names)[N], Borrow::Kind kind, Body&& body) {
  return guarded([&]() -> PyObject* {
    const std::string callable = std::string(kClassName<Core>) + "." + method_name + "()";
    PyObject* bound[N];
    if (!bind_arguments(callable.c_str(), names, args, kwargs, bound)) return nullptr;
    CoreObject<Core>* obj = as_object<Core>(self);
    Borrow borrow(obj->borrow, kind);
    if (!borrow.ok()) return nullptr;
    return body(*obj->core, bound);
  });
}

// Raises ValueError with the error's text; returns nullptr.
inline PyObject* raise_value_error(const Error& error) {
  raise_message(PyExc_ValueError, error.to_string());
  return nullptr;
}

template <class Core>
PyObject* insert_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"id", "vector"};
  return method<Core>(self, args, kwargs, "insert", names, Borrow::Kind::Exclusive,
                      [](Core& core, PyObject** bound) -> PyObject* {
                        uint64_t id = 0;
                        std::vector<float> vector;
                        if (!convert_u64(bound[0], "id", id)) return nullptr;
                        if (!convert_vector(bound[1], "vector", vector)) return nullptr;
                        Status status = core.insert(id, vector, Payload{});
                        if (!status.ok()) return raise_value_error(status.error());
                        Py_RETURN_NONE;
                      });
}

template <class Core>
PyObject* search_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"query", "k"};
  return method<Core>(self, args, kwargs, "search", names, Borrow::Kind::Shared,
                      [](Core& core, PyObject** bound) -> PyObject* {
                        std::vector<float> query;
                        uint64_t k = 0;
                        if (!convert_vector(bound[0], "query", query)) return nullptr;
                        if (!convert_u64(bound[1], "k", k)) return nullptr;
                        return results_to_list(core.search(query, k, {}, /*with_payload=*/false));
                      });
}

template <class Core>
PyObject* insert_batch_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"ids", "vectors"};
  return method<Core>(self, args, kwargs, "insert_batch", names, Borrow::Kind::Exclusive,
                      [](Core& core, PyObject** bound) -> PyObject* {
    std::vector<uint64_t> ids;
    VectorList vectors;
    if (!convert_ids(bound[0], "ids", ids)) return nullptr;
    // The vectors are converted last and the core runs no Python code, so a
    // float32 matrix can be read in place.
    if (!convert_vectors(bound[1], "vectors", vectors, /*borrow=*/true)) return nullptr;
    if (ids.size() != vectors.size()) {
      raise_message(PyExc_ValueError, "ids and vectors must have the same length");
      return nullptr;
    }
    Status status = ok_status();
    if constexpr (std::is_same_v<Core, BruteForceIndex>) {
      if (vectors.size() > 0 && vectors.uniform(core.dimension())) {
        // Same outcome as one insertion per row, rows copied 16 at a time.
        status = core.insert_batch(ids, vectors.flat(), vectors.size());
        if (!status.ok()) return raise_value_error(status.error());
        Py_RETURN_NONE;
      }
      core.reserve(core.len() + ids.size());
    }
    // One insertion (for a collection, one log entry) per pair; the first
    // error stops the batch, the pairs before it stay.
    for (size_t i = 0; i < ids.size(); ++i) {
      status = core.insert(ids[i], vectors.row(i), Payload{});
      if (!status.ok()) return raise_value_error(status.error());
    }
    Py_RETURN_NONE;
  });
}

template <class Core>
PyObject* search_batch_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"queries", "k"};
  return method<Core>(self, args, kwargs, "search_batch", names, Borrow::Kind::Shared,
                      [](Core& core, PyObject** bound) -> PyObject* {
                        VectorList queries;
                        uint64_t k = 0;
                        if (!convert_vectors(bound[0], "queries", queries)) return nullptr;
                        if (!convert_u64(bound[1], "k", k)) return nullptr;
                        return search_batch_to_list(core, dimension_of(core), queries, k);
                      });
}

}  // namespace orvex::py
