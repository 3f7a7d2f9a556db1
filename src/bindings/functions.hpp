// The eleven module functions, in registration order, and their table.
// Each one matches its arguments, converts them in signature order (the
// first failure ends the call before any work), then calls into the core
// inside the error guard.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace kemb::bindings {

// construct.cpp
PyObject* create_linear_model(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* create_categorical_model(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* add_linear_model_layer(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* add_categorical_model_layer(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* create_optimizer(PyObject* module, PyObject* args, PyObject* kwargs);

// work.cpp
PyObject* train_linear_model(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* train_categorical_model(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* evaluate_linear_model(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* evaluate_categorical_model(PyObject* module, PyObject* args, PyObject* kwargs);

// load.cpp
PyObject* load_linear_model(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* load_categorical_model(PyObject* module, PyObject* args, PyObject* kwargs);

std::span<PyMethodDef> module_functions();

}  // namespace kemb::bindings
