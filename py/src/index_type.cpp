// The class Index: one in-memory BruteForceIndex per object.
#include <memory>
#include <string>
#include <vector>

#include "core_object.h"
#include "docs.h"
#include "types.h"

namespace orvex::py {

namespace {

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
    return wrap_core(type, std::make_unique<BruteForceIndex>(metric, dimension));
  });
}

PyMethodDef g_index_methods[] = {
    {"insert", as_cfunction(insert_method<BruteForceIndex>), METH_VARARGS | METH_KEYWORDS, docs::kIndexInsert},
    {"search", as_cfunction(search_method<BruteForceIndex>), METH_VARARGS | METH_KEYWORDS, docs::kIndexSearch},
    {"insert_batch", as_cfunction(insert_batch_method<BruteForceIndex>), METH_VARARGS | METH_KEYWORDS,
     docs::kInsertBatch},
    {"search_batch", as_cfunction(search_batch_method<BruteForceIndex>), METH_VARARGS | METH_KEYWORDS,
     docs::kSearchBatch},
    {"delete", as_cfunction(delete_method<BruteForceIndex>), METH_VARARGS | METH_KEYWORDS, docs::kDelete},
    {"delete_batch", as_cfunction(delete_batch_method<BruteForceIndex>), METH_VARARGS | METH_KEYWORDS,
     docs::kDeleteBatch},
    {"get", as_cfunction(get_method<BruteForceIndex>), METH_VARARGS | METH_KEYWORDS, docs::kGet},
    {"ids", as_cfunction(ids_method<BruteForceIndex>), METH_NOARGS, docs::kIds},
    {"create_index", as_cfunction(create_index_method<BruteForceIndex>), METH_VARARGS | METH_KEYWORDS, docs::kCreateIndex},
    {"drop_index", as_cfunction(drop_index_method<BruteForceIndex>), METH_VARARGS | METH_KEYWORDS, docs::kDropIndex},
    {"indexes", as_cfunction(indexes_method<BruteForceIndex>), METH_NOARGS, docs::kIndexes},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_index_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kIndex)},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_core<BruteForceIndex>)},
    {Py_tp_methods, g_index_methods},
    {Py_sq_length, reinterpret_cast<void*>(len_slot<BruteForceIndex>)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot<BruteForceIndex>)},
    {0, nullptr},
};

PyType_Spec g_index_spec = {
    "builtins.Index",
    static_cast<int>(sizeof(CoreObject<BruteForceIndex>)),
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
