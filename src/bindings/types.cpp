// Heap types built with PyType_FromSpec, one per record kind.
#include "bindings/types.hpp"

#include <string>
#include <utility>

#include "bindings/errors.hpp"
#include "bindings/py_ref.hpp"
#include "io/error.hpp"

namespace kemb::bindings {

using io::throw_result_error;

namespace {

template <typename Record>
struct RecordObject {
  PyObject_HEAD
  Record* record;
};

// The class docstrings are fixed texts that scripts and help() show, kept
// byte for byte as they are, with their odd spots: the literal "\n" (a
// backslash and an n) before each later section, the `varn::` paths of
// another library, and an optimizer doc that leaves out "tf_adam". They are
// not ours to tidy.
constexpr const char* kLinearModelDoc =
    "Create a model for continuous outcome data comprised of the\n"
    "cells specified in `layers`. Output types options are:\n"
    "- `linear` (varn::activation::linear)\n"
    "\\n Loss type options are:\n"
    "- `mean_squared_error` (varn::loss::mean_squared_error)\n"
    "\\n Accuracy type options are:\n"
    "- `linear` (varn::accuracy::linear)\n"
    "\\n The `save_best_params` argument specifies where to save\n"
    "the best weights, if desired. `.json` is the supported file\n"
    "extension for saved models.";

constexpr const char* kCategoricalModelDoc =
    "Create a model for categorical outcome data comprised of the\n"
    "cells specified in `layers`. Output types options are:\n"
    "- `softmax`     (varn::activation::softmax)\n"
    "\\n Loss type options are:\n"
    "- `categorical_crossentropy` (varn::loss::categorical_crossentropy)\n"
    "\\n Accuracy type options are:\n"
    "- `categorical` (varn::accuracy::categorical)\n"
    "\\n The `save_best_params` argument specifies where to save\n"
    "the best weights, if desired. `.json` is the supported file\n"
    "extension for saved models.";

constexpr const char* kDynamicOptimizerDoc =
    "Dynamic optimizer struct that can be either of `opt_type`\n"
    "`adam` or `sgd`, which correspond to the parameter update\n"
    "methods used in `varn::optimizer::adam` and\n"
    "`varn::optimizer::sgd`, respectively.";

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

template <typename Record>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<RecordObject<Record>*>(self)->record;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

template <typename Record>
struct TypeInfo;

// The PyType_Spec names are "builtins.<Class>": __name__ and __qualname__ are the
// bare class name and __module__ is "builtins". A name without a dot would
// leave the class without __module__ (and warn when the class is created).
template <>
struct TypeInfo<LinearModel> {
  static constexpr const char* name = "builtins.LinearModel";
  static constexpr const char* doc = kLinearModelDoc;
};
template <>
struct TypeInfo<CategoricalModel> {
  static constexpr const char* name = "builtins.CategoricalModel";
  static constexpr const char* doc = kCategoricalModelDoc;
};
template <>
struct TypeInfo<DynamicOptimizer> {
  static constexpr const char* name = "builtins.DynamicOptimizer";
  static constexpr const char* doc = kDynamicOptimizerDoc;
};

// The type object of Record's class, created on first use; null with a
// Python exception set if creation failed.
template <typename Record>
PyTypeObject* type_object() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(TypeInfo<Record>::doc)},
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Record>)},
        {0, nullptr},
    };
    PyType_Spec spec = {
        TypeInfo<Record>::name,
        static_cast<int>(sizeof(RecordObject<Record>)),
        0,
        Py_TPFLAGS_DEFAULT,
        slots,
    };
    type = PyType_FromSpec(&spec);
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

// "called `Result::unwrap()` on an `Err` value: <repr of the Python error>"
[[noreturn]] void fail_creation() {
  std::string description = "object creation failed";
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type);
  PyRef owned_value(value);
  PyRef owned_traceback(traceback);
  if (value != nullptr) {
    PyRef repr(PyObject_Repr(value));
    if (repr) {
      if (const char* text = PyUnicode_AsUTF8AndSize(repr.get(), nullptr)) description = text;
    }
    PyErr_Clear();
  }
  throw_result_error(description);
}

template <typename Record>
PyObject* wrap_record(Record record) {
  PyTypeObject* type = type_object<Record>();
  if (type == nullptr) fail_creation();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef obj(alloc(type, 0));
  if (!obj) fail_creation();
  auto* self = reinterpret_cast<RecordObject<Record>*>(obj.get());
  self->record = nullptr;
  self->record = new Record(std::move(record));
  return obj.release();
}

template <typename Record>
const Record* record_of(PyObject* obj) {
  PyTypeObject* type = type_object<Record>();
  if (type == nullptr) throw PythonErrorSet{};
  if (!PyObject_TypeCheck(obj, type)) return nullptr;
  return reinterpret_cast<RecordObject<Record>*>(obj)->record;
}

}  // namespace

PyObject* wrap(LinearModel record) { return wrap_record(std::move(record)); }
PyObject* wrap(CategoricalModel record) { return wrap_record(std::move(record)); }
PyObject* wrap(DynamicOptimizer record) { return wrap_record(std::move(record)); }

const LinearModel* linear_model_of(PyObject* obj) { return record_of<LinearModel>(obj); }
const CategoricalModel* categorical_model_of(PyObject* obj) {
  return record_of<CategoricalModel>(obj);
}
const DynamicOptimizer* optimizer_of(PyObject* obj) { return record_of<DynamicOptimizer>(obj); }

}  // namespace kemb::bindings
