// The three Python classes: LinearModel, CategoricalModel and
// DynamicOptimizer. Each instance owns exactly one record; the classes have
// no constructor, attributes or methods. Their type objects are created on
// first use and live until the process ends.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "optimizer/dyn_optimizer.hpp"

namespace kemb::bindings {

// Wraps a record in a new instance of its class (a new reference). If the
// instance cannot be created the call fails with PanicException.
PyObject* wrap(LinearModel record);
PyObject* wrap(CategoricalModel record);
PyObject* wrap(DynamicOptimizer record);

// The record an instance owns, or null when `obj` is not an instance of that
// class. The class is created first if need be (an instance of a class that
// does not exist yet cannot be passed, but the check is uniform).
const LinearModel* linear_model_of(PyObject* obj);
const CategoricalModel* categorical_model_of(PyObject* obj);
const DynamicOptimizer* optimizer_of(PyObject* obj);

}  // namespace kemb::bindings
