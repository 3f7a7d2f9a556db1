// How failures cross the boundary. Argument errors are ordinary Python
// exceptions (TypeError, OverflowError) set before any work; every failure
// of the core becomes PanicException, a BaseException subclass named
// "pyo3_runtime.PanicException" whose single argument is the message.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string>

namespace kemb::bindings {

// Thrown by binding code after it has set a Python exception, so that the
// call guard returns NULL without touching the error indicator.
struct PythonErrorSet {};

// Sets a Python exception and throws PythonErrorSet.
[[noreturn]] void raise_python(PyObject* type, const std::string& message);

// Runs `body` (returning a new reference or NULL with an exception set) and
// turns every C++ exception into the matching Python exception, so that no
// C++ exception ever reaches CPython. The one thing it lets through is the
// forced unwind of a thread that the interpreter ends at shutdown
// (pthread_exit), which only a retake that outlasted the exit's wait can
// meet (gil.hpp): it is no error, and it must reach the thread's start.
// (So `guarded` is not noexcept: a noexcept frame would turn that unwind
// into std::terminate.)
template <typename Body>
PyObject* guarded(Body&& body);

// Translates the exception being handled; defined in errors.cpp so that the
// catch clauses live in one place.
void set_error_from_current_exception() noexcept;

template <typename Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (...) {
    if (!std::current_exception()) throw;  // not a C++ exception: the forced unwind
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace kemb::bindings
