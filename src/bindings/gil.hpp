// Releasing the interpreter lock while the core computes, reads or waits.
// Everything the core needs is copied out of Python objects first, so other
// Python threads run during a long call.
//
// At interpreter shutdown CPython 3.10 to 3.13 ends a thread that asks for
// the lock after finalization began with pthread_exit, a forced unwind that
// only libstdc++ carries through C++ frames (libc++abi, which the release
// wheels link, terminates). So no thread of ours asks for it then: an exit
// callback (gil.cpp) raises a flag before the runtime is marked finalizing,
// and every retake checks that flag first. A call that finds it set unwinds
// the core like an interrupted one (abandoned saves, no temporary files) and
// then parks its thread for good instead of retaking the lock; the thread
// that runs the exit callbacks never parks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "bindings/errors.hpp"

namespace kemb::bindings {

// Thrown by a retake that finds the interpreter exiting: the core unwinds
// as after Ctrl-C, and `without_gil` parks the thread.
struct InterpreterExiting {};

// Counts a call as running without the lock, so that the C-level exit
// handler can wait for it, until it ends or parks.
class CallWithoutGil {
 public:
  CallWithoutGil() noexcept;
  ~CallWithoutGil();
  CallWithoutGil(const CallWithoutGil&) = delete;
  CallWithoutGil& operator=(const CallWithoutGil&) = delete;

  // Stops counting the call and blocks the thread forever, holding nothing.
  [[noreturn]] void park() noexcept;
};

// Registers both exit handlers: the interpreter's (atexit.register: raises
// the flag and lets retakes under way complete) and the C library's (waits
// up to a second for calls still computing). Called once, by PyInit_kemb,
// with the lock held; false with a Python exception set on failure.
bool register_exit_handlers() noexcept;

// Takes the lock back with `state`, unless the interpreter is exiting and
// this is not the thread that runs its exit: then returns false without it.
bool restore_thread(PyThreadState* state) noexcept;

// The released lock, as `without_gil` hands it to its body.
class ReleasedGil {
 public:
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  // Retakes the lock for a moment to run pending signal handlers (Ctrl-C
  // raises KeyboardInterrupt there); when one raised, throws PythonErrorSet
  // with that exception set. In a thread other than the main one it only
  // lets other threads run. Throws InterpreterExiting instead of retaking
  // once the interpreter exits.
  void check_signals() {
    if (!restore_thread(state_)) throw InterpreterExiting{};
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
// is carried past the retake, which happens outside any handler), unless
// the interpreter is exiting: then the thread parks.
template <typename Body>
auto without_gil(Body&& body) {
  using Result = std::invoke_result_t<Body, ReleasedGil&>;
  using Stored = std::conditional_t<std::is_void_v<Result>, bool, Result>;
  CallWithoutGil counted;
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
    // Not a C++ exception: a forced unwind from a retake that outlasted the
    // exit's wait (gil.cpp). libstdc++ carries it to the thread's start.
    if (!failure) throw;
  }
  if (!restore_thread(gil.state_)) counted.park();
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace kemb::bindings
