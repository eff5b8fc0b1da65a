// The two classes of the module. Each type object is created from a
// PyType_Spec at most once per process and kept for the process's lifetime.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orvex::py {

// The type object (a borrowed reference owned by this unit), created on the
// first call; nullptr with an exception set if creation fails.
PyObject* index_type();
PyObject* collection_type();

}  // namespace orvex::py
