// Releasing the interpreter lock while the core computes, reads or waits.
// Everything the core needs is copied out of Python objects first, so other
// Python threads run during a long call.
//
// At interpreter shutdown CPython (3.11 and earlier) ends a daemon thread
// that asks for the lock back with pthread_exit, whose forced unwind
// (abi::__forced_unwind) must pass through every frame of ours: the lock is
// never retaken in a destructor or a noexcept function, and no handler
// swallows that unwind. The process then exits normally; its exit waits for
// such threads to be ended (gil.cpp).
//
// The unwind is recognised in catch (...) by std::current_exception(),
// which is empty for an exception of another language (the forced unwind
// is one to the C++ runtime); a catch (abi::__forced_unwind&) would bind a
// reference to the null object the runtime hands out for it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "bindings/errors.hpp"

namespace kemb::bindings {

// Counts a call as running without the lock for its lifetime, including a
// forced unwind.
class CallWithoutGil {
 public:
  CallWithoutGil() noexcept;
  ~CallWithoutGil();
  CallWithoutGil(const CallWithoutGil&) = delete;
  CallWithoutGil& operator=(const CallWithoutGil&) = delete;
};

// Registers the exit handler that waits (up to a second) for the calls
// running without the lock in other threads. Called once, by PyInit_kemb.
bool wait_for_calls_at_exit() noexcept;

// The released lock, as `without_gil` hands it to its body.
class ReleasedGil {
 public:
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  // Retakes the lock for a moment to run pending signal handlers (Ctrl-C
  // raises KeyboardInterrupt there); when one raised, throws PythonErrorSet
  // with that exception set. In a thread other than the main one it only
  // lets other threads run.
  void check_signals() {
    PyEval_RestoreThread(state_);
    const int status = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    if (status < 0) throw PythonErrorSet{};
  }

 private:
  template <typename Body>
  friend auto without_gil(Body&& body);
  explicit ReleasedGil(PyThreadState* state) : state_(state) {}

  PyThreadState* state_;
};

// Runs body(ReleasedGil&) with the lock released and returns its result.
// The lock is retaken after the body, also when it throws (the exception
// is carried past the retake, which happens outside any handler); a
// thread's forced unwind passes without a retake.
template <typename Body>
auto without_gil(Body&& body) {
  using Result = std::invoke_result_t<Body, ReleasedGil&>;
  using Stored = std::conditional_t<std::is_void_v<Result>, bool, Result>;
  const CallWithoutGil counted;
  ReleasedGil gil(PyEval_SaveThread());
  std::optional<Stored> result;
  std::exception_ptr failure;
  try {
    if constexpr (std::is_void_v<Result>) {
      body(gil);
    } else {
      result.emplace(body(gil));
    }
  } catch (...) {
    failure = std::current_exception();
    // The interpreter is ending this thread: there is no lock to retake.
    if (!failure) throw;
  }
  PyEval_RestoreThread(gil.state_);
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace kemb::bindings
