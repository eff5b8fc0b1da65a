// Entry point of the extension module _orvex: creates the module with its
// two classes, Index and Collection.
//
// The type objects are created once per process; the module itself is
// created at most once per process (a second initialization, from a
// re-import or another interpreter, raises ImportError and leaves the first
// module untouched).
#include "args.h"
#include "types.h"

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_orvex",
    "",       // docstring: the empty string
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool g_module_created = false;

PyObject* create_module() {
  using namespace orvex::py;
  if (g_module_created) {
    raise_message(PyExc_ImportError,
                  "the orvex extension module may only be initialized once per process");
    return nullptr;
  }
  if (!init_internal_fault()) return nullptr;
  Ref module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyObject* index = index_type();
  if (index == nullptr || PyModule_AddObjectRef(module.get(), "Index", index) < 0) return nullptr;
  PyObject* collection = collection_type();
  if (collection == nullptr || PyModule_AddObjectRef(module.get(), "Collection", collection) < 0) {
    return nullptr;
  }
  g_module_created = true;
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__orvex(void) {
  return orvex::py::guarded([] { return create_module(); });
}
