#include "args.h"

#include <string>

namespace orvex::py {

namespace {

PyObject* g_internal_fault = nullptr;  // created once, kept for the process

std::string quoted_list(const std::string* names, size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n == 2) {
        text += " and ";
      } else if (i + 1 == n) {
        text += ", and ";
      } else {
        text += ", ";
      }
    }
    text += "'" + names[i] + "'";
  }
  return text;
}

// Sets `type` with a message that is a new str object; one argument.
void set_with_text(PyObject* type, PyObject* text) {
  Ref exc(PyObject_CallFunctionObjArgs(type, text, nullptr));
  if (!exc) return;
  PyErr_SetObject(type, exc.get());
}

}  // namespace

bool bind_arguments(const char* callable, const char* const* names, size_t n, size_t n_positional,
                    PyObject* args, PyObject* kwargs, PyObject** out) {
  for (size_t i = 0; i < n; ++i) out[i] = nullptr;
  const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs < 0) return false;
  if (static_cast<size_t>(nargs) > n_positional) {
    raise_message(PyExc_TypeError, std::string(callable) + " takes " + std::to_string(n_positional) +
                                       (n_positional == 1 ? " positional argument but " : " positional arguments but ") + std::to_string(nargs) +
                                       " were given");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        raise_message(PyExc_TypeError, std::string(callable) + " keywords must be strings");
        return false;
      }
      size_t index = n;
      for (size_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
          index = i;
          break;
        }
      }
      if (index == n) {
        Ref text(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", callable, key));
        if (text) set_with_text(PyExc_TypeError, text.get());
        return false;
      }
      if (out[index] != nullptr) {
        raise_message(PyExc_TypeError, std::string(callable) + " got multiple values for argument '" +
                                           names[index] + "'");
        return false;
      }
      out[index] = value;
    }
  }

  std::string missing[8];
  size_t n_missing = 0;
  for (size_t i = 0; i < n_positional && n_missing < 8; ++i) {
    if (out[i] == nullptr) missing[n_missing++] = names[i];
  }
  if (n_missing > 0) {
    raise_message(PyExc_TypeError,
                  std::string(callable) + " missing " + std::to_string(n_missing) +
                      (n_missing == 1 ? " required positional argument: "
                                      : " required positional arguments: ") +
                      quoted_list(missing, n_missing));
    return false;
  }
  return true;
}

void prefix_type_error(const char* name) {
  if (!PyErr_Occurred()) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  Ref old_type(type);
  Ref old(value);
  Ref old_traceback(traceback);

  Ref text(PyObject_Str(old.get()));
  if (!text) {
    PyErr_Clear();
    text = Ref(PyUnicode_FromString("<unprintable object>"));
    if (!text) return;
  }
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  // Takes over the cause (or its absence); like `raise ... from`, this also
  // sets __suppress_context__.
  PyException_SetCause(replacement.get(), PyException_GetCause(old.get()));  // steals
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement.release(), nullptr);
}

void raise_message(PyObject* type, const std::string& message) {
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  set_with_text(type, text.get());
}

bool init_internal_fault() {
  if (g_internal_fault != nullptr) return true;
  g_internal_fault = PyErr_NewExceptionWithDoc(
      "orvex._orvex.InternalFault",
      "An internal fault of the orvex extension that no defined error covers.",
      PyExc_BaseException, nullptr);
  return g_internal_fault != nullptr;
}

void raise_internal_fault(const char* what) {
  PyObject* type = g_internal_fault != nullptr ? g_internal_fault : PyExc_SystemError;
  raise_message(type, std::string("internal fault: ") + (what != nullptr ? what : ""));
}

Borrow::Borrow(Py_ssize_t& counter, Kind kind) : counter_(counter), kind_(kind) {
  if (kind == Kind::Shared) {
    if (counter_ == -1) {
      raise_message(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++counter_;
  } else {
    if (counter_ != 0) {
      raise_message(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    counter_ = -1;
  }
  taken_ = true;
}

Borrow::~Borrow() {
  if (!taken_) return;
  if (kind_ == Kind::Shared) {
    --counter_;
  } else {
    counter_ = 0;
  }
}

}  // namespace orvex::py
