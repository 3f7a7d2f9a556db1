// Functions that train and evaluate models on NumPy arrays.
#include "bindings/functions.hpp"

#include <cstdint>
#include <utility>

#include "bindings/args.hpp"
#include "bindings/arrays.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/types.hpp"
#include "io/error.hpp"

namespace kemb::bindings {
namespace {

[[noreturn]] void not_yet_available() { throw Error("not yet available"); }

template <typename Model, typename ToModel>
PyObject* train_model(PyObject* args, PyObject* kwargs, const char* format, ToModel to_model,
                      ArrayKind target_kind) {
  KEMB_KEYWORDS("model", "opt", "num_epochs", "print_freq", "x", "y", "val_x", "val_y");
  PyObject* model_arg = nullptr;
  PyObject* opt_arg = nullptr;
  PyObject* num_epochs_arg = nullptr;
  PyObject* print_freq_arg = nullptr;
  PyObject* x = nullptr;
  PyObject* y = nullptr;
  PyObject* val_x = nullptr;
  PyObject* val_y = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &model_arg, &opt_arg,
                                   &num_epochs_arg, &print_freq_arg, &x, &y, &val_x, &val_y)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    Model model = to_model(model_arg, "model");
    DynamicOptimizer opt = to_optimizer(opt_arg, "opt");
    const std::uint16_t num_epochs = to_small_count(num_epochs_arg, "num_epochs");
    const std::uint16_t print_freq = to_small_count(print_freq_arg, "print_freq");
    check_array(x, "x", ArrayKind::float_matrix);
    check_array(y, "y", target_kind);
    check_array(val_x, "val_x", ArrayKind::float_matrix);
    check_array(val_y, "val_y", target_kind);
    (void)model;
    (void)opt;
    (void)num_epochs;
    (void)print_freq;
    not_yet_available();
  });
}

template <typename Model, typename ToModel>
PyObject* evaluate_model(PyObject* args, PyObject* kwargs, const char* format, ToModel to_model,
                         ArrayKind target_kind) {
  KEMB_KEYWORDS("model", "val_x", "val_y");
  PyObject* model_arg = nullptr;
  PyObject* val_x = nullptr;
  PyObject* val_y = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &model_arg, &val_x, &val_y)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    Model model = to_model(model_arg, "model");
    check_array(val_x, "val_x", ArrayKind::float_matrix);
    check_array(val_y, "val_y", target_kind);
    (void)model;
    not_yet_available();
  });
}

}  // namespace

PyObject* train_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return train_model<LinearModel>(args, kwargs, "OOOOOOOO:train_linear_model", to_linear_model,
                                  ArrayKind::float_vector);
}

PyObject* train_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return train_model<CategoricalModel>(args, kwargs, "OOOOOOOO:train_categorical_model",
                                       to_categorical_model, ArrayKind::label_vector);
}

PyObject* evaluate_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return evaluate_model<LinearModel>(args, kwargs, "OOO:evaluate_linear_model", to_linear_model,
                                     ArrayKind::float_vector);
}

PyObject* evaluate_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return evaluate_model<CategoricalModel>(args, kwargs, "OOO:evaluate_categorical_model",
                                          to_categorical_model, ArrayKind::label_vector);
}

}  // namespace kemb::bindings
