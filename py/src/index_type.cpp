// The class Index: one in-memory BruteForceIndex per object.
#include <memory>
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "docs.h"
#include "index/brute_force.h"
#include "results.h"
#include "types.h"

namespace orvex::py {

namespace {

struct IndexObject {
  PyObject_HEAD
  BruteForceIndex* index;  // owned; null only while the object is built
  Py_ssize_t borrow;       // 0 free, n > 0 shared, -1 exclusive
};

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

PyObject* g_index_type = nullptr;

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"metric", "dimension"};
    PyObject* bound[2];
    if (!bind_arguments("Index.__new__()", names, args, kwargs, bound)) return nullptr;
    std::string metric_text;
    uint64_t dimension = 0;
    if (!convert_text(bound[0], "metric", metric_text)) return nullptr;
    if (!convert_u64(bound[1], "dimension", dimension)) return nullptr;
    DistanceMetric metric;
    if (!match_metric(metric_text, metric)) {
      raise_invalid_metric();
      return nullptr;
    }
    auto index = std::make_unique<BruteForceIndex>(metric, dimension);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_index(self)->index = index.release();
    as_index(self)->borrow = 0;
    return self;
  });
}

void index_dealloc(PyObject* self) {
  delete as_index(self)->index;
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

PyObject* index_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"id", "vector"};
    PyObject* bound[2];
    if (!bind_arguments("Index.insert()", names, args, kwargs, bound)) return nullptr;
    IndexObject* obj = as_index(self);
    Borrow borrow(obj->borrow, Borrow::Kind::Exclusive);
    if (!borrow.ok()) return nullptr;
    uint64_t id = 0;
    std::vector<float> vector;
    if (!convert_u64(bound[0], "id", id)) return nullptr;
    if (!convert_vector(bound[1], "vector", vector)) return nullptr;
    Status status = obj->index->insert(id, vector, Payload{});
    if (!status.ok()) {
      raise_message(PyExc_ValueError, status.error().to_string());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* index_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"query", "k"};
    PyObject* bound[2];
    if (!bind_arguments("Index.search()", names, args, kwargs, bound)) return nullptr;
    IndexObject* obj = as_index(self);
    Borrow borrow(obj->borrow, Borrow::Kind::Shared);
    if (!borrow.ok()) return nullptr;
    std::vector<float> query;
    uint64_t k = 0;
    if (!convert_vector(bound[0], "query", query)) return nullptr;
    if (!convert_u64(bound[1], "k", k)) return nullptr;
    return results_to_list(obj->index->search(query, k, nullptr, /*with_payload=*/false));
  });
}

PyObject* index_insert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"ids", "vectors"};
    PyObject* bound[2];
    if (!bind_arguments("Index.insert_batch()", names, args, kwargs, bound)) return nullptr;
    IndexObject* obj = as_index(self);
    Borrow borrow(obj->borrow, Borrow::Kind::Exclusive);
    if (!borrow.ok()) return nullptr;
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
    BruteForceIndex& index = *obj->index;
    Status status = ok_status();
    if (vectors.size() > 0 && vectors.uniform(index.dimension())) {
      // Same outcome as the loop below, rows copied 16 at a time.
      status = index.insert_batch(ids, vectors.flat(), vectors.size());
    } else {
      // Rows of other lengths: one insertion per row, stopping at the first error.
      index.reserve(index.len() + ids.size());
      for (size_t i = 0; i < ids.size() && status.ok(); ++i)
        status = index.insert(ids[i], vectors.row(i), Payload{});
    }
    if (!status.ok()) {
      raise_message(PyExc_ValueError, status.error().to_string());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* index_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"queries", "k"};
    PyObject* bound[2];
    if (!bind_arguments("Index.search_batch()", names, args, kwargs, bound)) return nullptr;
    IndexObject* obj = as_index(self);
    Borrow borrow(obj->borrow, Borrow::Kind::Shared);
    if (!borrow.ok()) return nullptr;
    VectorList queries;
    uint64_t k = 0;
    if (!convert_vectors(bound[0], "queries", queries)) return nullptr;
    if (!convert_u64(bound[1], "k", k)) return nullptr;
    const BruteForceIndex& index = *obj->index;
    return search_batch_to_list(index, index.dimension(), queries, k);
  });
}

PyMethodDef g_index_methods[] = {
    {"insert", as_cfunction(index_insert), METH_VARARGS | METH_KEYWORDS, docs::kIndexInsert},
    {"search", as_cfunction(index_search), METH_VARARGS | METH_KEYWORDS, docs::kIndexSearch},
    {"insert_batch", as_cfunction(index_insert_batch), METH_VARARGS | METH_KEYWORDS, docs::kInsertBatch},
    {"search_batch", as_cfunction(index_search_batch), METH_VARARGS | METH_KEYWORDS, docs::kSearchBatch},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_index_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kIndex)},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, g_index_methods},
    {0, nullptr},
};

PyType_Spec g_index_spec = {
    "builtins.Index",
    static_cast<int>(sizeof(IndexObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_index_slots,
};

}  // namespace

PyObject* index_type() {
  if (g_index_type == nullptr) g_index_type = PyType_FromSpec(&g_index_spec);
  return g_index_type;
}

}  // namespace orvex::py
