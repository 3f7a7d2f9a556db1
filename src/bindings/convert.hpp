// Argument kinds of the module functions. Each converter either returns the
// value passed inward or sets a Python exception and throws PythonErrorSet:
// TypeError naming the parameter for a value of the wrong kind,
// OverflowError (not naming it) for an integer out of range.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "optimizer/dyn_optimizer.hpp"

namespace kemb::bindings {

// text: a str, its UTF-8 bytes verbatim.
std::string to_text(PyObject* obj, const char* name);
// 32-bit float: anything float() accepts, rounded to the nearest float32.
float to_f32(PyObject* obj, const char* name);
// count: a non-negative integer that fits 64 bits.
std::uint64_t to_count(PyObject* obj, const char* name);
// small count: an integer from 0 to 65535.
std::uint16_t to_small_count(PyObject* obj, const char* name);

// model / optimizer: a deep copy of the record the instance owns.
LinearModel to_linear_model(PyObject* obj, const char* name);
CategoricalModel to_categorical_model(PyObject* obj, const char* name);
DynamicOptimizer to_optimizer(PyObject* obj, const char* name);

// optional X: absent for a missing argument (null) or None.
template <typename Convert>
auto to_optional(PyObject* obj, const char* name, Convert convert)
    -> std::optional<decltype(convert(obj, name))> {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return convert(obj, name);
}

// "argument 'name': <what>", raised as a TypeError.
[[noreturn]] void raise_argument_type_error(const char* name, const std::string& what);

// The Python type name of obj, for messages ("float", "NoneType").
std::string type_name(PyObject* obj);

}  // namespace kemb::bindings
