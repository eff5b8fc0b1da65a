// The class Collection: one core Collection (a directory on disk) per
// object, obtained only from the static method open_or_create.
#include <memory>
#include <optional>
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

// Static method: opens an existing collection for searching beside its writer.
PyObject* collection_open_read_only(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path"};
    PyObject* bound[1];
    if (!bind_arguments("Collection.open_read_only()", names, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!convert_text(bound[0], "path", path)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(collection_type());
    if (type == nullptr) return nullptr;
    Result<std::unique_ptr<Collection>> opened = Error::io("");
    {
      WithoutInterpreter reading;
      opened = Collection::open_read_only(path);
    }
    if (!opened.ok()) {
      raise_message(PyExc_OSError, "cannot open " + path + " read-only: " + opened.error().to_string());
      return nullptr;
    }
    return wrap_core(type, std::move(opened).value());
  });
}

// A report of the core (a JSON object) as a dict; nullptr with an exception set.
PyObject* report_to_dict(const Result<Json>& report) {
  if (!report.ok()) return raise_error(PyExc_OSError, report.error());
  Payload as_payload;
  for (const auto& [key, value] : report->items()) as_payload.data.emplace(key, value);
  return payload_to_dict(as_payload);
}

// Static method: reads every file of the collection at `path`, changes nothing.
PyObject* collection_verify(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path"};
    PyObject* bound[1];
    if (!bind_arguments("Collection.verify()", names, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!convert_text(bound[0], "path", path)) return nullptr;
    Result<Json> report = Json();
    {
      WithoutInterpreter reading;
      report = Collection::verify(path);
    }
    return report_to_dict(report);
  });
}

// Static method: point-in-time repair of the collection at `path`.
PyObject* collection_repair(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path", "dimension", "metric"};
    PyObject* bound[3] = {};
    if (!bind_arguments("Collection.repair()", names, args, kwargs, bound, 1)) return nullptr;
    std::string path;
    if (!convert_text(bound[0], "path", path)) return nullptr;
    std::optional<uint64_t> dimension;
    std::optional<DistanceMetric> metric;
    if (bound[1] != nullptr && bound[1] != Py_None) {
      uint64_t d = 0;
      if (!convert_u64(bound[1], "dimension", d)) return nullptr;
      dimension = d;
    }
    if (bound[2] != nullptr && bound[2] != Py_None) {
      std::string text;
      DistanceMetric m;
      if (!convert_text(bound[2], "metric", text)) return nullptr;
      if (!match_metric(text, m)) {
        raise_invalid_metric();
        return nullptr;
      }
      metric = m;
    }
    Result<Json> report = Json();
    {
      WithoutInterpreter repairing;
      report = Collection::repair(path, dimension, metric);
    }
    return report_to_dict(report);
  });
}

// The frame of the Collection-only methods without arguments: the borrow
// (exclusive unless said); then the object must be open, except for close(),
// which does nothing on a closed collection. `changes`: the call changes the
// collection (refused by a reader).
template <class Body>
PyObject* no_argument_call(PyObject* self, Body&& body, bool closed_is_done = false, bool changes = true,
                         Borrow::Kind kind = Borrow::Kind::Exclusive) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(*as_object<Collection>(self)->borrows, kind);
    if (!borrow.ok()) return nullptr;
    if (closed_is_done && as_object<Collection>(self)->core == nullptr) Py_RETURN_NONE;
    Collection* core = open_core<Collection>(self);
    if (core == nullptr) return nullptr;
    if (changes && refuses_changes(*core)) return nullptr;
    return body(*core);
  });
}

// A shared borrow: searches on other threads go on while the files are read,
// and wait only while the new snapshot takes the old one's place.
PyObject* collection_refresh(PyObject* self, PyObject*) {
  return no_argument_call(
      self,
      [](Collection& c) -> PyObject* {
        Result<uint64_t> applied = Error::io("");
        {
          WithoutInterpreter reading;
          applied = c.refresh();
        }
        if (!applied.ok()) return raise_error(PyExc_OSError, applied.error());
        return PyLong_FromUnsignedLongLong(applied.value());
      },
      false, /*changes=*/false, Borrow::Kind::Shared);
}

PyObject* collection_flush(PyObject* self, PyObject*) {
  return no_argument_call(self, [](Collection& c) -> PyObject* {
    Status status = c.flush();
    if (!status.ok()) return raise_error(PyExc_OSError, status.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_sync(PyObject* self, PyObject*) {
  return no_argument_call(self, [](Collection& c) -> PyObject* {
    Status status = c.sync();
    if (!status.ok()) return raise_error(PyExc_OSError, status.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_compact(PyObject* self, PyObject*) {
  return no_argument_call(self, [](Collection& c) -> PyObject* {
    Result<uint64_t> reclaimed = c.compact();
    if (!reclaimed.ok()) return raise_error(PyExc_OSError, reclaimed.error());
    return PyLong_FromUnsignedLongLong(reclaimed.value());
  });
}

PyObject* collection_stats(PyObject* self, PyObject*) {
  return no_argument_call(self, [](Collection& c) -> PyObject* {
    const Collection::Stats s = c.stats();
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    const std::pair<const char*, uint64_t> items[] = {
        {"vectors", s.vectors}, {"dead_records", s.dead_records}, {"data_bytes", s.data_bytes},
        {"log_bytes", s.log_bytes}};
    for (const auto& [key, value] : items) {
      Ref v(PyLong_FromUnsignedLongLong(value));
      if (!v || PyDict_SetItemString(dict.get(), key, v.get()) < 0) return nullptr;
    }
    Ref indexes(PyDict_New());
    if (!indexes) return nullptr;
    for (const auto& [key, bytes] : s.indexes) {
      Ref k(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
      Ref v(PyLong_FromUnsignedLongLong(bytes));
      if (!k || !v || PyDict_SetItem(indexes.get(), k.get(), v.get()) < 0) return nullptr;
    }
    if (PyDict_SetItemString(dict.get(), "indexes", indexes.get()) < 0) return nullptr;
    if (PyDict_SetItemString(dict.get(), "read_only", c.read_only() ? Py_True : Py_False) < 0) return nullptr;
    return dict.release();
  }, false, /*changes=*/false);
}

// Flushes, then releases the core collection (its files and the directory
// lock). A closed collection closes again without effect; a failed flush
// leaves it open.
PyObject* collection_close(PyObject* self, PyObject*) {
  return no_argument_call(
      self,
      [&](Collection& c) -> PyObject* {
        Status status = c.read_only() ? ok_status() : c.flush();
        if (!status.ok()) return raise_error(PyExc_OSError, status.error());
        delete as_object<Collection>(self)->core;
        as_object<Collection>(self)->core = nullptr;
        Py_RETURN_NONE;
      },
      /*closed_is_done=*/true, /*changes=*/false);
}

PyObject* collection_enter(PyObject* self, PyObject*) {
  if (open_core<Collection>(self) == nullptr) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* collection_exit(PyObject* self, PyObject*) {
  PyObject* closed = collection_close(self, nullptr);
  if (closed == nullptr) return nullptr;
  Py_DECREF(closed);
  Py_RETURN_FALSE;  // exceptions from the with-block go on
}

PyMethodDef g_collection_methods[] = {
    {"open_or_create", as_cfunction(collection_open_or_create), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     docs::kCollectionOpenOrCreate},
    {"open_read_only", as_cfunction(collection_open_read_only), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     docs::kCollectionOpenReadOnly},
    {"refresh", as_cfunction(collection_refresh), METH_NOARGS, docs::kCollectionRefresh},
    {"verify", as_cfunction(collection_verify), METH_VARARGS | METH_KEYWORDS | METH_STATIC, docs::kCollectionVerify},
    {"repair", as_cfunction(collection_repair), METH_VARARGS | METH_KEYWORDS | METH_STATIC, docs::kCollectionRepair},
    {"insert", as_cfunction(insert_method<Collection>), METH_VARARGS | METH_KEYWORDS, docs::kCollectionInsert},
    {"search", as_cfunction(search_method<Collection>), METH_VARARGS | METH_KEYWORDS, docs::kCollectionSearch},
    {"insert_batch", as_cfunction(insert_batch_method<Collection>), METH_VARARGS | METH_KEYWORDS,
     docs::kCollectionInsertBatch},
    {"search_batch", as_cfunction(search_batch_method<Collection>), METH_VARARGS | METH_KEYWORDS,
     docs::kSearchBatch},
    {"flush", as_cfunction(collection_flush), METH_NOARGS, docs::kCollectionFlush},
    {"delete", as_cfunction(delete_method<Collection>), METH_VARARGS | METH_KEYWORDS, docs::kDelete},
    {"delete_batch", as_cfunction(delete_batch_method<Collection>), METH_VARARGS | METH_KEYWORDS,
     docs::kDeleteBatch},
    {"get", as_cfunction(get_method<Collection>), METH_VARARGS | METH_KEYWORDS, docs::kGet},
    {"ids", as_cfunction(ids_method<Collection>), METH_NOARGS, docs::kIds},
    {"create_index", as_cfunction(create_index_method<Collection>), METH_VARARGS | METH_KEYWORDS, docs::kCreateIndex},
    {"drop_index", as_cfunction(drop_index_method<Collection>), METH_VARARGS | METH_KEYWORDS, docs::kDropIndex},
    {"indexes", as_cfunction(indexes_method<Collection>), METH_NOARGS, docs::kIndexes},
    {"sync", as_cfunction(collection_sync), METH_NOARGS, docs::kCollectionSync},
    {"compact", as_cfunction(collection_compact), METH_NOARGS, docs::kCollectionCompact},
    {"stats", as_cfunction(collection_stats), METH_NOARGS, docs::kCollectionStats},
    {"close", as_cfunction(collection_close), METH_NOARGS, docs::kCollectionClose},
    {"__enter__", as_cfunction(collection_enter), METH_NOARGS, nullptr},
    {"__exit__", as_cfunction(collection_exit), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_collection_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kCollection)},
    {Py_tp_new, reinterpret_cast<void*>(collection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_core<Collection>)},
    {Py_tp_methods, g_collection_methods},
    {Py_sq_length, reinterpret_cast<void*>(len_slot<Collection>)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot<Collection>)},
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
