// What the two classes share: the object layout (one core object and its
// borrows), its creation and destruction, and the methods whose
// behaviour is the same on both, written once over the core type
// (BruteForceIndex for Index, Collection for Collection).
//
// Every method follows the call protocol of args.h: bind the arguments,
// take the borrow, convert every argument, call the core, build the result.
// Searches scan without the interpreter lock (see BorrowState for what other
// threads' calls do meanwhile).
// A closed Collection (its core object released) refuses every call with
// ValueError "collection is closed".
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "args.h"
#include "collection.h"
#include "convert.h"
#include "index/brute_force.h"
#include "json_convert.h"
#include "results.h"

namespace orvex::py {

template <class Core>
struct CoreObject {
  PyObject_HEAD
  Core* core;          // owned; null while the object is built and once a collection is closed
  BorrowState* borrows;  // owned
};

// "Index" or "Collection", for the binding messages ("Index.insert()").
template <class Core>
inline constexpr const char* kClassName = std::is_same_v<Core, Collection> ? "Collection" : "Index";

// ---- what differs between the two cores -------------------------------------

inline uint64_t dimension_of(const BruteForceIndex& index) { return index.dimension(); }
inline uint64_t dimension_of(const Collection& collection) { return collection.config().dimension; }
inline Result<bool> remove_id(BruteForceIndex& index, uint64_t id) { return index.remove(id); }
inline Result<bool> remove_id(Collection& collection, uint64_t id) { return collection.remove(id); }
inline Result<std::vector<uint64_t>> sorted_ids(const BruteForceIndex& index) {
  std::vector<uint64_t> ids = index.ids();
  std::sort(ids.begin(), ids.end());
  return ids;
}
inline Result<std::vector<uint64_t>> sorted_ids(const Collection& collection) { return collection.ids(); }
inline Result<bool> get_id(const BruteForceIndex& index, uint64_t id, std::vector<float>* v, Payload* p) {
  return index.get(id, v, p);
}
inline Result<bool> get_id(const Collection& collection, uint64_t id, std::vector<float>* v, Payload* p) {
  return collection.get(id, v, p);
}

// ---- the object -------------------------------------------------------------

template <class Core>
CoreObject<Core>* as_object(PyObject* self) {
  return reinterpret_cast<CoreObject<Core>*>(self);
}

// A new instance of `type` owning `core`; nullptr with an exception set.
template <class Core>
PyObject* wrap_core(PyTypeObject* type, std::unique_ptr<Core> core) {
  auto borrows = std::make_unique<BorrowState>();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_object<Core>(self)->core = core.release();
  as_object<Core>(self)->borrows = borrows.release();
  return self;
}

// Destroys the core object (a Collection writes out its buffers, without a
// sync, and releases its directory) and frees the instance.
template <class Core>
void dealloc_core(PyObject* self) {
  delete as_object<Core>(self)->core;
  delete as_object<Core>(self)->borrows;
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// The core object, or nullptr with ValueError "collection is closed".
template <class Core>
Core* open_core(PyObject* self) {
  Core* core = as_object<Core>(self)->core;
  if (core == nullptr) raise_message(PyExc_ValueError, "collection is closed");
  return core;
}

// Whether `core` takes no changes (a read-only collection), with OSError
// "collection is read-only" set.
template <class Core>
bool refuses_changes(const Core& core) {
  if constexpr (requires { core.read_only(); }) {
    if (core.read_only()) {
      raise_message(PyExc_OSError, "collection is read-only");
      return true;
    }
  }
  return false;
}

// Binds `names` (from `n_positional` on keyword-only and optional), takes
// the borrow, checks the object is open and runs body(core, bound). (Open is
// checked under the borrow: a close may have run while this call waited.)
template <class Core, size_t N, class Body>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs, const char* method_name,
                 const char* const (&names)[N], size_t n_positional, Borrow::Kind kind, Body&& body) {
  return guarded([&]() -> PyObject* {
    const std::string callable = std::string(kClassName<Core>) + "." + method_name + "()";
    PyObject* bound[N];
    if (!bind_arguments(callable.c_str(), names, args, kwargs, bound, n_positional)) return nullptr;
    Borrow borrow(*as_object<Core>(self)->borrows, kind);
    if (!borrow.ok()) return nullptr;
    Core* core = open_core<Core>(self);
    if (core == nullptr) return nullptr;
    if (kind == Borrow::Kind::Exclusive && refuses_changes(*core)) return nullptr;
    return body(*core, bound);
  });
}

// Raises `type` with the error's text; returns nullptr.
inline PyObject* raise_error(PyObject* type, const Error& error) {
  raise_message(type, error.to_string());
  return nullptr;
}

// An optional bool keyword (absent: false); only True and False are taken.
inline bool convert_flag(PyObject* obj, const char* name, bool& out) {
  out = obj == Py_True;
  if (obj == nullptr || PyBool_Check(obj)) return true;
  raise_message(PyExc_TypeError, std::string("argument '") + name + "': expected True or False");
  return false;
}

// ---- the shared methods -----------------------------------------------------

template <class Core>
PyObject* insert_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"id", "vector", "payload"};
  return method<Core>(self, args, kwargs, "insert", names, 2, Borrow::Kind::Exclusive,
                      [](Core& core, PyObject** bound) -> PyObject* {
                        uint64_t id = 0;
                        std::vector<float> vector;
                        Payload payload;
                        if (!convert_u64(bound[0], "id", id)) return nullptr;
                        if (!convert_vector(bound[1], "vector", vector)) return nullptr;
                        if (bound[2] && !convert_payload(bound[2], "payload", payload)) return nullptr;
                        Status status = core.insert(id, vector, std::move(payload));
                        if (!status.ok()) return raise_error(PyExc_ValueError, status.error());
                        Py_RETURN_NONE;
                      });
}

template <class Core>
PyObject* search_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"query", "k", "where", "with_payload"};
  return method<Core>(self, args, kwargs, "search", names, 2, Borrow::Kind::Shared,
                      [](Core& core, PyObject** bound) -> PyObject* {
                        std::vector<float> query;
                        uint64_t k = 0;
                        std::optional<Filter> where;
                        bool with_payload = false;
                        if (!convert_vector(bound[0], "query", query)) return nullptr;
                        if (!convert_u64(bound[1], "k", k)) return nullptr;
                        if (bound[2] && !convert_where(bound[2], where)) return nullptr;
                        if (!convert_flag(bound[3], "with_payload", with_payload)) return nullptr;
                        const Filter* filter = where ? &*where : nullptr;
                        std::vector<SearchResult> found;
                        {
                          WithoutInterpreter scan;
                          found = core.search(query, k, filter, with_payload);
                        }
                        return results_to_list(found, with_payload);
                      });
}

// Converts `payloads` (None, or one dict or None per id) into `out`.
inline bool convert_payloads(PyObject* obj, size_t count, std::vector<Payload>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    raise_message(PyExc_TypeError, "argument 'payloads': expected a list or tuple of dicts or None");
    return false;
  }
  const bool list = PyList_Check(obj);
  const size_t n = static_cast<size_t>(list ? PyList_Size(obj) : PyTuple_Size(obj));
  if (n != count) {
    raise_message(PyExc_ValueError, "ids and payloads must have the same length");
    return false;
  }
  out.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const auto at = static_cast<Py_ssize_t>(i);
    if (!convert_payload(list ? PyList_GetItem(obj, at) : PyTuple_GetItem(obj, at),
                         "payloads[" + std::to_string(i) + "]", out[i])) {
      return false;
    }
  }
  return true;
}

template <class Core>
PyObject* insert_batch_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const index_names[] = {"ids", "vectors", "payloads"};
  static const char* const collection_names[] = {"ids", "vectors", "payloads", "threads"};
  constexpr bool kCollection = std::is_same_v<Core, Collection>;
  const auto body = [](Core& core, PyObject** bound) -> PyObject* {
    std::vector<uint64_t> ids;
    VectorList vectors;
    std::vector<Payload> payloads;
    if (!convert_ids(bound[0], "ids", ids)) return nullptr;
    // The vectors are converted last (payload conversion runs no Python
    // code) and the core runs none either, so a float32 matrix can be read
    // in place.
    if (!convert_vectors(bound[1], "vectors", vectors, /*borrow=*/true)) return nullptr;
    if (!convert_payloads(bound[2], ids.size(), payloads)) return nullptr;
    if (ids.size() != vectors.size()) {
      raise_message(PyExc_ValueError, "ids and vectors must have the same length");
      return nullptr;
    }
    Status status = ok_status();
    if constexpr (kCollection) {
      uint64_t threads = 0;
      if (bound[3] && bound[3] != Py_None && !convert_u64(bound[3], "threads", threads)) return nullptr;
      // Rows lie back to back: the rows before the first one of another
      // length go in as one batch, then that row fails as insert() would.
      const uint64_t dim = core.config().dimension;
      size_t whole = 0;
      while (whole < vectors.size() && vectors.row(whole).size() == dim) ++whole;
      // The interpreter stays held: the rows may be a borrowed array that
      // another thread could otherwise change while the log is written.
      status = core.insert_batch(std::span(ids).first(whole), vectors.flat().first(whole * dim),
                                 payloads.empty() ? std::span<Payload>() : std::span(payloads).first(whole),
                                 static_cast<size_t>(std::min<uint64_t>(threads, SIZE_MAX)));
      if (status.ok() && whole < vectors.size()) status = Error::dimension_mismatch(dim, vectors.row(whole).size());
      if (!status.ok()) return raise_error(PyExc_ValueError, status.error());
      Py_RETURN_NONE;
    }
    if constexpr (std::is_same_v<Core, BruteForceIndex>) {
      if (payloads.empty() && vectors.size() > 0 && vectors.uniform(core.dimension())) {
        // Same outcome as one insertion per row, rows copied 16 at a time.
        status = core.insert_batch(ids, vectors.flat(), vectors.size());
        if (!status.ok()) return raise_error(PyExc_ValueError, status.error());
        Py_RETURN_NONE;
      }
      core.reserve(core.len() + ids.size());
    }
    // One insertion per pair; the first error stops the batch, the pairs
    // before it stay.
    for (size_t i = 0; i < ids.size(); ++i) {
      status = core.insert(ids[i], vectors.row(i), payloads.empty() ? Payload{} : std::move(payloads[i]));
      if (!status.ok()) return raise_error(PyExc_ValueError, status.error());
    }
    Py_RETURN_NONE;
  };
  if constexpr (kCollection) {
    return method<Core>(self, args, kwargs, "insert_batch", collection_names, 2, Borrow::Kind::Exclusive, body);
  } else {
    return method<Core>(self, args, kwargs, "insert_batch", index_names, 2, Borrow::Kind::Exclusive, body);
  }
}

template <class Core>
PyObject* search_batch_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"queries", "k", "where", "with_payload", "as_numpy", "threads"};
  return method<Core>(self, args, kwargs, "search_batch", names, 2, Borrow::Kind::Shared,
                      [](Core& core, PyObject** bound) -> PyObject* {
    VectorList queries;
    uint64_t k = 0;
    std::optional<Filter> where;
    bool with_payload = false, as_numpy = false;
    uint64_t threads = 1;
    if (!convert_vectors(bound[0], "queries", queries)) return nullptr;
    if (!convert_u64(bound[1], "k", k)) return nullptr;
    if (bound[2] && !convert_where(bound[2], where)) return nullptr;
    if (!convert_flag(bound[3], "with_payload", with_payload)) return nullptr;
    if (!convert_flag(bound[4], "as_numpy", as_numpy)) return nullptr;
    if (bound[5] && !convert_u64(bound[5], "threads", threads)) return nullptr;
    if (with_payload && as_numpy) {
      raise_message(PyExc_ValueError, "with_payload and as_numpy cannot be combined");
      return nullptr;
    }
    const Filter* filter = where ? &*where : nullptr;
    std::vector<std::vector<SearchResult>> results;
    {
      WithoutInterpreter scan;
      if (queries.size() > 0 && queries.uniform(dimension_of(core))) {
        results = core.search_batch(queries.flat(), queries.size(), k, filter, with_payload,
                                    static_cast<size_t>(std::min<uint64_t>(threads, SIZE_MAX)));
      } else {  // a query of another length finds nothing
        for (size_t i = 0; i < queries.size(); ++i) {
          results.push_back(core.search(queries.row(i), k, filter, with_payload));
        }
      }
    }
    if (as_numpy) return batch_results_to_numpy(results, static_cast<size_t>(std::min<uint64_t>(k, core.len())));
    return batch_results_to_list(results, with_payload);
  });
}

template <class Core>
PyObject* delete_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"id"};
  return method<Core>(self, args, kwargs, "delete", names, 1, Borrow::Kind::Exclusive,
                      [](Core& core, PyObject** bound) -> PyObject* {
                        uint64_t id = 0;
                        if (!convert_u64(bound[0], "id", id)) return nullptr;
                        Result<bool> held = remove_id(core, id);
                        if (!held.ok()) return raise_error(PyExc_OSError, held.error());
                        return PyBool_FromLong(held.value() ? 1 : 0);
                      });
}

template <class Core>
PyObject* delete_batch_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"ids"};
  return method<Core>(self, args, kwargs, "delete_batch", names, 1, Borrow::Kind::Exclusive,
                      [](Core& core, PyObject** bound) -> PyObject* {
                        std::vector<uint64_t> ids;
                        if (!convert_ids(bound[0], "ids", ids)) return nullptr;
                        if constexpr (std::is_same_v<Core, Collection>) {
                          Result<size_t> held = core.remove_batch(ids);
                          if (!held.ok()) return raise_error(PyExc_OSError, held.error());
                          return PyLong_FromSize_t(held.value());
                        }
                        size_t held = 0;
                        for (uint64_t id : ids) {
                          Result<bool> r = remove_id(core, id);
                          if (!r.ok()) return raise_error(PyExc_OSError, r.error());
                          held += r.value() ? 1 : 0;
                        }
                        return PyLong_FromSize_t(held);
                      });
}

template <class Core>
PyObject* get_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"id"};
  return method<Core>(self, args, kwargs, "get", names, 1, Borrow::Kind::Shared,
                      [](Core& core, PyObject** bound) -> PyObject* {
                        uint64_t id = 0;
                        if (!convert_u64(bound[0], "id", id)) return nullptr;
                        std::vector<float> vector;
                        Payload payload;
                        Result<bool> held = get_id(core, id, &vector, &payload);
                        if (!held.ok()) return raise_error(PyExc_MemoryError, held.error());
                        if (!held.value()) Py_RETURN_NONE;
                        Ref list(PyList_New(static_cast<Py_ssize_t>(vector.size())));
                        if (!list) return nullptr;
                        for (size_t i = 0; i < vector.size(); ++i) {
                          PyObject* f = PyFloat_FromDouble(static_cast<double>(vector[i]));
                          if (f == nullptr) return nullptr;
                          PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);
                        }
                        Ref dict(payload_to_dict(payload));
                        if (!dict) return nullptr;
                        return PyTuple_Pack(2, list.get(), dict.get());
                      });
}

// ids(): the held ids, ascending (no arguments).
template <class Core>
PyObject* ids_method(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(*as_object<Core>(self)->borrows, Borrow::Kind::Shared);
    if (!borrow.ok()) return nullptr;
    Core* core = open_core<Core>(self);
    if (core == nullptr) return nullptr;
    Result<std::vector<uint64_t>> ids = sorted_ids(*core);
    if (!ids.ok()) return raise_error(PyExc_MemoryError, ids.error());
    Ref list(PyList_New(static_cast<Py_ssize_t>(ids->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < ids->size(); ++i) {
      PyObject* v = PyLong_FromUnsignedLongLong((*ids)[i]);
      if (v == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
  });
}

// create_index(key), drop_index(key), indexes(): the payload indexes.
template <class Core>
PyObject* create_index_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"key"};
  return method<Core>(self, args, kwargs, "create_index", names, 1, Borrow::Kind::Exclusive,
                      [](Core& core, PyObject** bound) -> PyObject* {
                        std::string key;
                        if (!convert_text(bound[0], "key", key)) return nullptr;
                        Status status = core.create_index(key);
                        if (!status.ok())
                          return raise_error(status.error().kind() == Error::Kind::PayloadError ? PyExc_ValueError
                                                                                                 : PyExc_OSError,
                                             status.error());
                        Py_RETURN_NONE;
                      });
}

template <class Core>
PyObject* drop_index_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"key"};
  return method<Core>(self, args, kwargs, "drop_index", names, 1, Borrow::Kind::Exclusive,
                      [](Core& core, PyObject** bound) -> PyObject* {
                        std::string key;
                        if (!convert_text(bound[0], "key", key)) return nullptr;
                        if constexpr (std::is_same_v<Core, Collection>) {
                          Result<bool> had = core.drop_index(key);
                          if (!had.ok()) return raise_error(PyExc_OSError, had.error());
                          return PyBool_FromLong(had.value() ? 1 : 0);
                        } else {
                          return PyBool_FromLong(core.drop_index(key) ? 1 : 0);
                        }
                      });
}

template <class Core>
PyObject* indexes_method(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(*as_object<Core>(self)->borrows, Borrow::Kind::Shared);
    if (!borrow.ok()) return nullptr;
    Core* core = open_core<Core>(self);
    if (core == nullptr) return nullptr;
    const std::vector<std::string> keys = core->indexes();
    Ref list(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < keys.size(); ++i) {
      PyObject* v = PyUnicode_FromStringAndSize(keys[i].data(), static_cast<Py_ssize_t>(keys[i].size()));
      if (v == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
  });
}

// len(obj): the number of held vectors.
template <class Core>
Py_ssize_t len_slot(PyObject* self) {
  Core* core = open_core<Core>(self);
  return core == nullptr ? -1 : static_cast<Py_ssize_t>(core->len());
}

// `id in obj`: an int that is not a valid id is simply not held.
template <class Core>
int contains_slot(PyObject* self, PyObject* key) {
  Core* core = open_core<Core>(self);
  if (core == nullptr) return -1;
  uint64_t id = 0;
  if (!convert_u64(key, "id", id)) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return core->contains(id) ? 1 : 0;
}

}  // namespace orvex::py
