// Conversion of the scalar, text, model and optimizer argument kinds.
#include "bindings/convert.hpp"

#include "bindings/errors.hpp"
#include "bindings/py_ref.hpp"
#include "bindings/types.hpp"

namespace kemb::bindings {
namespace {

// The message of the pending exception, which is cleared.
std::string take_error_message() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type);
  PyRef owned_value(value);
  PyRef owned_traceback(traceback);
  std::string message;
  if (value != nullptr) {
    PyRef text(PyObject_Str(value));
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (utf8 != nullptr) message = utf8;
  }
  PyErr_Clear();
  return message;
}

// A TypeError raised by CPython's own conversion is re-raised naming the
// parameter; any other exception (OverflowError, MemoryError) passes as is.
[[noreturn]] void rethrow_conversion_error(const char* name) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    raise_argument_type_error(name, take_error_message());
  }
  throw PythonErrorSet{};
}

}  // namespace

std::string type_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return utf8;
}

void raise_argument_type_error(const char* name, const std::string& what) {
  raise_python(PyExc_TypeError, std::string("argument '") + name + "': " + what);
}

std::string to_text(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    raise_argument_type_error(name, "expected str, got " + type_name(obj));
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw PythonErrorSet{};
  return std::string(utf8, static_cast<std::size_t>(size));
}

float to_f32(PyObject* obj, const char* name) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) rethrow_conversion_error(name);
  // Round to nearest; magnitudes beyond the float32 range become infinities.
  return static_cast<float>(value);
}

std::uint64_t to_count(PyObject* obj, const char* name) {
  PyRef index(PyNumber_Index(obj));
  if (!index) rethrow_conversion_error(name);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    rethrow_conversion_error(name);
  }
  return value;
}

std::uint16_t to_small_count(PyObject* obj, const char* name) {
  const std::uint64_t value = to_count(obj, name);
  if (value > 0xFFFF) {
    raise_python(PyExc_OverflowError, "int too large to convert to a 16-bit unsigned integer");
  }
  return static_cast<std::uint16_t>(value);
}

LinearModel to_linear_model(PyObject* obj, const char* name) {
  const LinearModel* record = linear_model_of(obj);
  if (record == nullptr) raise_argument_type_error(name, "expected LinearModel, got " + type_name(obj));
  return *record;
}

CategoricalModel to_categorical_model(PyObject* obj, const char* name) {
  const CategoricalModel* record = categorical_model_of(obj);
  if (record == nullptr) {
    raise_argument_type_error(name, "expected CategoricalModel, got " + type_name(obj));
  }
  return *record;
}

DynamicOptimizer to_optimizer(PyObject* obj, const char* name) {
  const DynamicOptimizer* record = optimizer_of(obj);
  if (record == nullptr) {
    raise_argument_type_error(name, "expected DynamicOptimizer, got " + type_name(obj));
  }
  return *record;
}

}  // namespace kemb::bindings
