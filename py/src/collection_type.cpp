// The class Collection: one core Collection (a directory on disk) per
// object, obtained only from the static method open_or_create.
#include <memory>
#include <string>
#include <vector>

#include "args.h"
#include "collection.h"
#include "convert.h"
#include "docs.h"
#include "results.h"
#include "types.h"

namespace orvex::py {

namespace {

struct CollectionObject {
  PyObject_HEAD
  Collection* collection;  // owned; null only while the object is built
  Py_ssize_t borrow;       // 0 free, n > 0 shared, -1 exclusive
};

CollectionObject* as_collection(PyObject* self) { return reinterpret_cast<CollectionObject*>(self); }

PyObject* g_collection_type = nullptr;

PyObject* collection_new(PyTypeObject*, PyObject*, PyObject*) {
  raise_message(PyExc_TypeError, "No constructor defined for Collection");
  return nullptr;
}

void collection_dealloc(PyObject* self) {
  // Writes out the buffers of the log and the data file, without a sync.
  delete as_collection(self)->collection;
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// Static method: `self` is null.
PyObject* collection_open_or_create(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path", "dimension", "metric"};
    PyObject* bound[3];
    if (!bind_arguments("Collection.open_or_create()", names, args, kwargs, bound)) return nullptr;
    std::string path;
    uint64_t dimension = 0;
    std::string metric_text;
    if (!convert_text(bound[0], "path", path)) return nullptr;
    if (!convert_u64(bound[1], "dimension", dimension)) return nullptr;
    if (!convert_text(bound[2], "metric", metric_text)) return nullptr;
    CollectionConfig config;
    if (!match_metric(metric_text, config.metric)) {
      raise_invalid_metric();
      return nullptr;
    }
    config.dimension = dimension;
    config.sync_mode = SyncMode::Batch;

    auto* type = reinterpret_cast<PyTypeObject*>(collection_type());
    if (type == nullptr) return nullptr;
    Result<std::unique_ptr<Collection>> opened = Collection::open_or_create(path, config);
    if (!opened.ok()) {
      raise_message(PyExc_OSError, opened.error().to_string());
      return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_collection(self)->collection = opened.value().release();
    as_collection(self)->borrow = 0;
    return self;
  });
}

PyObject* collection_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"id", "vector"};
    PyObject* bound[2];
    if (!bind_arguments("Collection.insert()", names, args, kwargs, bound)) return nullptr;
    CollectionObject* obj = as_collection(self);
    Borrow borrow(obj->borrow, Borrow::Kind::Exclusive);
    if (!borrow.ok()) return nullptr;
    uint64_t id = 0;
    std::vector<float> vector;
    if (!convert_u64(bound[0], "id", id)) return nullptr;
    if (!convert_vector(bound[1], "vector", vector)) return nullptr;
    Status status = obj->collection->insert(id, vector, Payload{});
    if (!status.ok()) {
      raise_message(PyExc_ValueError, status.error().to_string());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* collection_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"query", "k"};
    PyObject* bound[2];
    if (!bind_arguments("Collection.search()", names, args, kwargs, bound)) return nullptr;
    CollectionObject* obj = as_collection(self);
    Borrow borrow(obj->borrow, Borrow::Kind::Shared);
    if (!borrow.ok()) return nullptr;
    std::vector<float> query;
    uint64_t k = 0;
    if (!convert_vector(bound[0], "query", query)) return nullptr;
    if (!convert_u64(bound[1], "k", k)) return nullptr;
    return results_to_list(obj->collection->search(query, k, std::nullopt, /*with_payload=*/false));
  });
}

PyObject* collection_insert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"ids", "vectors"};
    PyObject* bound[2];
    if (!bind_arguments("Collection.insert_batch()", names, args, kwargs, bound)) return nullptr;
    CollectionObject* obj = as_collection(self);
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
    // One insertion (and one log entry) per pair; the first error stops.
    for (size_t i = 0; i < ids.size(); ++i) {
      Status status = obj->collection->insert(ids[i], vectors.row(i), Payload{});
      if (!status.ok()) {
        raise_message(PyExc_ValueError, status.error().to_string());
        return nullptr;
      }
    }
    Py_RETURN_NONE;
  });
}

PyObject* collection_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"queries", "k"};
    PyObject* bound[2];
    if (!bind_arguments("Collection.search_batch()", names, args, kwargs, bound)) return nullptr;
    CollectionObject* obj = as_collection(self);
    Borrow borrow(obj->borrow, Borrow::Kind::Shared);
    if (!borrow.ok()) return nullptr;
    VectorList queries;
    uint64_t k = 0;
    if (!convert_vectors(bound[0], "queries", queries)) return nullptr;
    if (!convert_u64(bound[1], "k", k)) return nullptr;
    const Collection& collection = *obj->collection;
    return search_batch_to_list(collection, collection.config().dimension, queries, k);
  });
}

PyObject* collection_flush(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    CollectionObject* obj = as_collection(self);
    Borrow borrow(obj->borrow, Borrow::Kind::Exclusive);
    if (!borrow.ok()) return nullptr;
    Status status = obj->collection->flush();
    if (!status.ok()) {
      raise_message(PyExc_OSError, status.error().to_string());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef g_collection_methods[] = {
    {"open_or_create", as_cfunction(collection_open_or_create), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     docs::kCollectionOpenOrCreate},
    {"insert", as_cfunction(collection_insert), METH_VARARGS | METH_KEYWORDS, docs::kCollectionInsert},
    {"search", as_cfunction(collection_search), METH_VARARGS | METH_KEYWORDS, docs::kCollectionSearch},
    {"insert_batch", as_cfunction(collection_insert_batch), METH_VARARGS | METH_KEYWORDS, docs::kInsertBatch},
    {"search_batch", as_cfunction(collection_search_batch), METH_VARARGS | METH_KEYWORDS, docs::kSearchBatch},
    {"flush", as_cfunction(collection_flush), METH_NOARGS, docs::kCollectionFlush},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_collection_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kCollection)},
    {Py_tp_new, reinterpret_cast<void*>(collection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
    {Py_tp_methods, g_collection_methods},
    {0, nullptr},
};

PyType_Spec g_collection_spec = {
    "builtins.Collection",
    static_cast<int>(sizeof(CollectionObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_collection_slots,
};

}  // namespace

PyObject* collection_type() {
  if (g_collection_type == nullptr) g_collection_type = PyType_FromSpec(&g_collection_spec);
  return g_collection_type;
}

}  // namespace orvex::py
