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

bool BorrowState::held_by_me() const {
  const std::thread::id me = std::this_thread::get_id();
  for (const std::thread::id& holder : holders_)
    if (holder == me) return true;
  return false;
}

bool BorrowState::compatible(Kind kind, bool mine) const {
  if (kind == Kind::Exclusive) return count_ == 0;
  // A thread that already holds a borrow never waits behind a waiting
  // exclusive one (that one waits for it).
  return count_ >= 0 && (exclusive_waiting_ == 0 || mine);
}

bool BorrowState::take(Kind kind) {
  std::unique_lock<std::mutex> lock(mu_);
  bool announced = false;  // counted in exclusive_waiting_
  for (;;) {
    const bool mine = held_by_me();
    const bool refused = !compatible(kind, mine) && mine && (kind == Kind::Exclusive || count_ == -1);
    if (announced && (refused || compatible(kind, mine))) --exclusive_waiting_;
    if (compatible(kind, mine)) {
      count_ = kind == Kind::Exclusive ? -1 : count_ + 1;
      holders_.push_back(std::this_thread::get_id());
      return true;
    }
    if (refused) {
      // The conflicting borrow is this thread's own, taken by a call still
      // converting its arguments: waiting would never end.
      lock.unlock();
      raise_message(PyExc_RuntimeError,
                    kind == Kind::Shared ? "Already mutably borrowed" : "Already borrowed");
      return false;
    }
    // Held by other threads: wait for it without the interpreter lock, and
    // let go of this mutex before taking the interpreter lock back.
    if (kind == Kind::Exclusive && !announced) {
      ++exclusive_waiting_;
      announced = true;
    }
    PyThreadState* saved = PyEval_SaveThread();
    freed_.wait(lock, [&] { return kind == Kind::Exclusive ? count_ == 0 : compatible(kind, false); });
    lock.unlock();
    PyEval_RestoreThread(saved);
    lock.lock();
  }
}

void BorrowState::give_back() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    count_ = count_ == -1 ? 0 : count_ - 1;
    const std::thread::id me = std::this_thread::get_id();
    for (size_t i = 0; i < holders_.size(); ++i) {
      if (holders_[i] == me) {
        holders_.erase(holders_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
  }
  freed_.notify_all();
}

}  // namespace orvex::py
