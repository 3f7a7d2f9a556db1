// PanicException and the translation of C++ exceptions into Python ones.
#include "bindings/errors.hpp"

#include <unistd.h>

#include <exception>
#include <new>

#include "bindings/py_ref.hpp"
#include "io/error.hpp"
#include "os/files.hpp"

namespace kemb::bindings {

using io::Error;

namespace {

constexpr const char* kPanicDoc =
    "Raised when kemb fails inside a call for a reason other than a wrong argument.\n"
    "\n"
    "It derives from BaseException, not Exception, so `except Exception` does\n"
    "not catch it; catch it by type or with `except BaseException`. Its single\n"
    "argument is the failure message.";

PyObject* g_panic_type = nullptr;

// Best effort: a report that cannot be written is dropped.
void write_stderr(const std::string& text) {
  (void)os::write_all(STDERR_FILENO, text.data(), text.size());
}

// PanicException, created on first use.
PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

// Reports the failure on standard error with its source location and sets
// PanicException(message).
void set_panic(const std::string& message, const std::source_location* where) {
  std::string report = "kemb panicked";
  if (where != nullptr) {
    report += " at ";
    report += where->file_name();
    report += ':' + std::to_string(where->line()) + ':' + std::to_string(where->column());
  }
  report += ":\n" + message + "\n";
  write_stderr(report);

  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation failure is the error now
  PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

}  // namespace

void raise_python(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonErrorSet{};
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    // The Python exception is already set.
  } catch (const Error& e) {
    set_panic(e.what(), &e.where());
  } catch (const std::bad_alloc&) {
    set_panic("memory allocation failed", nullptr);
  } catch (const std::exception& e) {
    set_panic(e.what(), nullptr);
  } catch (...) {
    set_panic("unknown failure in kemb", nullptr);
  }
}

}  // namespace kemb::bindings
