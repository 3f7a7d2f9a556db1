// The module's function table: the eleven functions in registration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace kemb::bindings {

std::span<PyMethodDef> module_functions();

}  // namespace kemb::bindings
