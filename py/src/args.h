// The call protocol shared by every method of the module: binding arguments
// by name with CPython's messages, the per-object borrows, raising
// exceptions with exactly one argument, and the boundary that turns an
// escaping C++ exception into a Python one.
//
// Everything here is called with the interpreter lock held and touches
// Python objects only under it; a Borrow that has to wait, and a
// WithoutInterpreter scope, let go of it meanwhile.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// The borrows of one object: shared by calls that only read (searches),
// exclusive for calls that change it. Which thread holds each borrow is
// recorded, so a conflict is told apart by where it comes from:
// - from the same thread (a call made from Python code that runs during the
//   argument conversion of a call on the same object) it is refused: a
//   RuntimeError "Already mutably borrowed" (a shared borrow against an
//   exclusive one) or "Already borrowed" (an exclusive one against any);
// - from another thread (one that ran while a search scanned without the
//   interpreter lock) the call waits for the borrow, without holding the
//   interpreter lock. A waiting exclusive borrow keeps new shared borrows of
//   other threads out, so a stream of searches cannot starve a change.
// The state has its own mutex, never held while waiting for the interpreter
// lock.
class BorrowState {
 public:
  enum class Kind { Shared, Exclusive };
  // Takes a borrow for the calling thread, waiting as above; false with the
  // RuntimeError set when refused.
  bool take(Kind kind);
  // Gives back a borrow the calling thread took.
  void give_back();

 private:
  bool held_by_me() const;
  bool compatible(Kind kind, bool mine) const;

  std::mutex mu_;
  std::condition_variable freed_;
  Py_ssize_t count_ = 0;  // 0 free, n > 0 shared, -1 exclusive
  std::vector<std::thread::id> holders_;  // one entry per borrow held
  size_t exclusive_waiting_ = 0;
};

// A borrow held for one scope: taken on construction (check ok()), given
// back on destruction, on every path.
class Borrow {
 public:
  using Kind = BorrowState::Kind;
  Borrow(BorrowState& state, Kind kind) : state_(state), taken_(state.take(kind)) {}
  ~Borrow() {
    if (taken_) state_.give_back();
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  bool ok() const { return taken_; }

 private:
  BorrowState& state_;
  bool taken_;
};

// Lets go of the interpreter lock for one scope (pure C++ work on data the
// call owns or holds a borrow on) and takes it back on every path.
class WithoutInterpreter {
 public:
  WithoutInterpreter() : saved_(PyEval_SaveThread()) {}
  ~WithoutInterpreter() { PyEval_RestoreThread(saved_); }
  WithoutInterpreter(const WithoutInterpreter&) = delete;
  WithoutInterpreter& operator=(const WithoutInterpreter&) = delete;

 private:
  PyThreadState* saved_;
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
