// The calls that run without the interpreter lock: the flag that keeps them
// from retaking it once the interpreter exits, and the count that lets the
// process's exit wait for those still computing.
#include "bindings/gil.hpp"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "bindings/py_ref.hpp"

namespace kemb::bindings {
namespace {

std::atomic<int> g_calls_without_gil{0};

// Both exit handlers wait, a millisecond at a time and a second at most,
// for a count to drop to zero.
void wait_until_zero(const std::atomic<int>& count) {
  constexpr timespec kPause{0, 1'000'000};
  for (int waited_ms = 0; waited_ms < 1000 && count.load() > 0; ++waited_ms) {
    ::nanosleep(&kPause, nullptr);
  }
}

// The flag and the retakes between their check of it and the lock: a
// retake counts itself, then reads the flag; the exit callback sets the
// flag, then reads the count. Sequentially consistent, so at least one of
// the two sees the other: either the retake parks, or the callback waits
// until it holds the lock (before the runtime is marked finalizing, when
// the retake can no longer end the thread). Atomics rather than a mutex:
// a fork while another thread held one would leave it locked in the child.
std::atomic<bool> g_exiting{false};
std::atomic<int> g_retakes{0};

// Set on the thread that runs the interpreter's exit callbacks. The
// interpreter never ends that thread, and a later callback on it may still
// call kemb: it retakes the lock as usual.
thread_local bool t_runs_exit = false;

// An atexit callback, run by Py_FinalizeEx after the non-daemon threads
// were joined and before the runtime is marked finalizing (and daemon
// threads that take the lock are ended). Callbacks run in reverse order of
// registration, so those registered after `import kemb` run before this one
// and may still use kemb from any thread. The retakes under way get a
// second to take the lock, which this callback releases meanwhile.
PyObject* stop_retakes(PyObject*, PyObject*) {
  t_runs_exit = true;
  g_exiting.store(true);
  Py_BEGIN_ALLOW_THREADS
  wait_until_zero(g_retakes);
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef g_stop_retakes = {"_kemb_stop_retakes", stop_retakes, METH_NOARGS, nullptr};

// Runs among the C library's exit handlers, before the shared libraries'
// destructors (the loader registered its handler at start-up, so it runs
// last). A daemon thread still inside a call then is computing until its
// next retake, where it unwinds and parks: between epochs, every 20 ms of a
// save wait, every 100 ms of a load, at the end of an evaluation. Until
// then it may be in an OpenBLAS product, and OpenBLAS's exit handler, which
// joins its worker threads, hangs when it runs beside one. A thread blocked
// for good (an open() of a FIFO that never gets a writer) is given up on
// after a second.
void wait_for_calls_without_gil() { wait_until_zero(g_calls_without_gil); }

}  // namespace

CallWithoutGil::CallWithoutGil() noexcept { g_calls_without_gil.fetch_add(1); }

CallWithoutGil::~CallWithoutGil() { g_calls_without_gil.fetch_sub(1); }

void CallWithoutGil::park() noexcept {
  g_calls_without_gil.fetch_sub(1);
  while (true) ::pause();
}

bool restore_thread(PyThreadState* state) noexcept {
  if (t_runs_exit) {
    PyEval_RestoreThread(state);
    return true;
  }
  g_retakes.fetch_add(1);
  if (g_exiting.load()) {
    g_retakes.fetch_sub(1);
    return false;
  }
  PyEval_RestoreThread(state);
  g_retakes.fetch_sub(1);
  return true;
}

bool register_exit_handlers() noexcept {
  if (std::atexit(wait_for_calls_without_gil) != 0) {
    PyErr_SetString(PyExc_ImportError, "kemb could not register its exit handler");
    return false;
  }
  PyRef atexit(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef callback(PyCFunction_NewEx(&g_stop_retakes, nullptr, nullptr));
  if (!callback) return false;
  PyRef registered(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
  return static_cast<bool>(registered);
}

}  // namespace kemb::bindings
