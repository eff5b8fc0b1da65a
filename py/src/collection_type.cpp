// The class Collection: one core Collection (a directory on disk) per
// object, obtained only from the static method open_or_create.
#include <memory>
#include <string>
#include <vector>

#include "core_object.h"
#include "docs.h"
#include "types.h"

namespace orvex::py {

namespace {

PyObject* g_collection_type = nullptr;

PyObject* collection_new(PyTypeObject*, PyObject*, PyObject*) {
  raise_message(PyExc_TypeError, "No constructor defined for Collection");
  return nullptr;
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
    return wrap_core(type, std::move(opened).value());
  });
}

PyObject* collection_flush(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    CoreObject<Collection>* obj = as_object<Collection>(self);
    Borrow borrow(obj->borrow, Borrow::Kind::Exclusive);
    if (!borrow.ok()) return nullptr;
    Status status = obj->core->flush();
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
    {"insert", as_cfunction(insert_method<Collection>), METH_VARARGS | METH_KEYWORDS, docs::kCollectionInsert},
    {"search", as_cfunction(search_method<Collection>), METH_VARARGS | METH_KEYWORDS, docs::kCollectionSearch},
    {"insert_batch", as_cfunction(insert_batch_method<Collection>), METH_VARARGS | METH_KEYWORDS,
     docs::kInsertBatch},
    {"search_batch", as_cfunction(search_batch_method<Collection>), METH_VARARGS | METH_KEYWORDS,
     docs::kSearchBatch},
    {"flush", as_cfunction(collection_flush), METH_NOARGS, docs::kCollectionFlush},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_collection_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kCollection)},
    {Py_tp_new, reinterpret_cast<void*>(collection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_core<Collection>)},
    {Py_tp_methods, g_collection_methods},
    {0, nullptr},
};

PyType_Spec g_collection_spec = {
    "builtins.Collection",
    static_cast<int>(sizeof(CoreObject<Collection>)),
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
