// Module initialisation: PyInit_kemb creates the module `kemb`, adds the
// eleven functions in their order and lists them in __all__. The classes
// are not module attributes; they are created when first needed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/functions.hpp"
#include "bindings/gil.hpp"
#include "bindings/py_ref.hpp"

namespace {

using kemb::bindings::PyRef;

// m_size 0 (not -1) makes CPython call PyInit_kemb again when the module is
// imported a second time, so that the second initialisation can be refused
// instead of silently sharing the first module's state.
PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "kemb",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool g_initialised = false;

// Adds one function: a function object bound to the module, its name
// appended to __all__, and the module attribute of that name.
bool add_function(PyObject* module, PyObject* module_name, PyObject* all, PyMethodDef* def) {
  PyRef function(PyCFunction_NewEx(def, module, module_name));
  if (!function) return false;
  PyRef name(PyUnicode_FromString(def->ml_name));
  if (!name) return false;
  if (PyList_Append(all, name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_kemb(void) {
  // The module keeps process-wide state (the types, PanicException, the
  // NumPy API table) and may be initialised once per process: a
  // sub-interpreter that imported it first would use that up, and the main
  // interpreter could not import it after that one ended. The main
  // interpreter's id is 0.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    PyErr_SetString(PyExc_ImportError,
                    "kemb does not support sub-interpreters: import it in the main interpreter");
    return nullptr;
  }
  if (g_initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "kemb may only be initialised once per interpreter process");
    return nullptr;
  }
  PyRef module(PyModule_Create2(&g_module, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  PyRef module_name(PyUnicode_FromString("kemb"));
  if (!module_name) return nullptr;
  PyRef all;
  for (PyMethodDef& def : kemb::bindings::module_functions()) {
    if (!all) {
      all = PyRef(PyList_New(0));
      if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
    }
    if (!add_function(module.get(), module_name.get(), all.get(), &def)) return nullptr;
  }
  if (!kemb::bindings::register_exit_handlers()) return nullptr;
  g_initialised = true;
  return module.release();
}
