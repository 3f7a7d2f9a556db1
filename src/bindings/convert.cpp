// Conversion of the scalar, text, model and optimizer argument kinds.
#include "bindings/convert.hpp"

#include <limits>

#include "bindings/errors.hpp"
#include "bindings/py_ref.hpp"
#include "bindings/types.hpp"

namespace kemb::bindings {
namespace {

// The decimal text of an integer object, shortened in the middle when long.
std::string integer_text(PyObject* integer) {
  PyRef text(PyObject_Str(integer));
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "the integer";
  }
  std::string digits = utf8;
  if (digits.size() > 40) digits = digits.substr(0, 18) + "..." + digits.substr(digits.size() - 18);
  return digits;
}

// An integer (or an object with __index__) from 0 to `max`: TypeError
// naming the parameter for anything else, OverflowError (which does not
// name it) for an integer out of range.
std::uint64_t to_unsigned(PyObject* obj, const char* name, std::uint64_t max) {
  PyRef index(PyNumber_Index(obj));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonErrorSet{};
    PyErr_Clear();
    raise_argument_type_error(name, "expected a non-negative integer, got " + type_name(obj));
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  const bool failed = value == static_cast<unsigned long long>(-1) && PyErr_Occurred();
  if (failed && !PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonErrorSet{};
  if (failed || value > max) {
    PyErr_Clear();
    raise_python(PyExc_OverflowError, integer_text(index.get()) + " is out of range (0 to " +
                                          std::to_string(max) + ")");
  }
  return value;
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
  if (value == -1.0 && PyErr_Occurred()) {
    // An integer beyond the double range keeps CPython's OverflowError.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonErrorSet{};
    PyErr_Clear();
    raise_argument_type_error(name, "expected a real number, got " + type_name(obj));
  }
  // Round to nearest; magnitudes beyond the float32 range become infinities.
  return static_cast<float>(value);
}

std::uint64_t to_count(PyObject* obj, const char* name) {
  return to_unsigned(obj, name, std::numeric_limits<std::uint64_t>::max());
}

std::uint16_t to_small_count(PyObject* obj, const char* name) {
  return static_cast<std::uint16_t>(to_unsigned(obj, name, 0xFFFF));
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
