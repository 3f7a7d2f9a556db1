// Releasing the interpreter lock while the core computes. Everything the
// core needs is copied out of Python objects first, so other Python threads
// run during a long training call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/errors.hpp"

namespace kemb::bindings {

// Releases the lock for its lifetime; the destructor retakes it, also when
// an exception leaves the scope, so the error guard always runs with it.
class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() { PyEval_RestoreThread(state_); }

  // Retakes the lock for a moment to run pending signal handlers (Ctrl-C
  // raises KeyboardInterrupt there); when one raised, throws PythonErrorSet
  // with that exception set.
  void check_signals() {
    PyEval_RestoreThread(state_);
    const int status = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    if (status < 0) throw PythonErrorSet{};
  }

 private:
  PyThreadState* state_;
};

}  // namespace kemb::bindings
