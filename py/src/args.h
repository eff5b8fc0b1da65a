// The call protocol shared by every method of the module: binding arguments
// by name with CPython's messages, the per-object borrow counter, raising
// exceptions with exactly one argument, and the boundary that turns an
// escaping C++ exception into a Python one.
//
// Everything here runs with the interpreter lock held and touches Python
// objects only under it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace orvex::py {

// An owned (strong) reference, released on destruction.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.release()) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = o.release();
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Binds a positional-argument tuple and an optional keyword dictionary to
// N named, required, positional-or-keyword parameters. On success `out[i]`
// holds a borrowed reference to the value of parameter i (valid while args
// and kwargs live). On failure a TypeError is set, with the messages CPython
// uses ("Index.insert() takes 2 positional arguments but 3 were given", ...),
// checked in the order: too many positional, each keyword, missing.
// `callable` is the name used in messages, e.g. "Index.insert()".
//
// Parameters from `n_positional` on are keyword-only and optional: they are
// never filled from the tuple, and out[i] stays nullptr when not given.
bool bind_arguments(const char* callable, const char* const* names, size_t n, size_t n_positional,
                    PyObject* args, PyObject* kwargs, PyObject** out);

template <size_t N>
bool bind_arguments(const char* callable, const char* const (&names)[N], PyObject* args,
                    PyObject* kwargs, PyObject* (&out)[N], size_t n_positional = N) {
  return bind_arguments(callable, names, N, n_positional, args, kwargs, out);
}

// If the pending exception is exactly a TypeError, replaces it with a new
// TypeError "argument 'NAME': <old message>" that takes over the old one's
// __cause__. Exceptions of any other class are left as they are.
void prefix_type_error(const char* name);

// Sets `type(message)`: the exception object is created with exactly one
// argument, so str(exc) is the message and exc.args has one element (an
// OSError built this way has errno, strerror and filename None).
void raise_message(PyObject* type, const std::string& message);

// Raises the module's internal-fault exception (derived from BaseException)
// for a C++ failure that none of the defined errors covers.
void raise_internal_fault(const char* what);

// Creates the internal-fault class once per process; false with an
// exception set on failure.
bool init_internal_fault();

// Borrow counter of an object: 0 free, n > 0 shared borrows, -1 exclusive.
// A Borrow takes the borrow on construction (check ok(); on refusal a
// RuntimeError "Already mutably borrowed" / "Already borrowed" is set) and
// releases it on destruction, on every path.
class Borrow {
 public:
  enum class Kind { Shared, Exclusive };
  Borrow(Py_ssize_t& counter, Kind kind);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  bool ok() const { return taken_; }

 private:
  Py_ssize_t& counter_;
  Kind kind_;
  bool taken_ = false;
};

// Runs `body` (returning a new reference or nullptr with an exception set)
// and turns any C++ exception escaping it into a Python exception:
// MemoryError for std::bad_alloc, the internal fault for anything else.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace orvex::py
