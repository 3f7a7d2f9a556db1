// Functions that train and evaluate models on NumPy arrays.
#include <cstdint>
#include <utility>

#include "bindings/args.hpp"
#include "bindings/arrays.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/functions.hpp"
#include "bindings/gil.hpp"
#include "bindings/types.hpp"
#include "training/loop.hpp"

namespace kemb::bindings {

using tensor::Matrix;

namespace {

// The training steps after argument conversion: layer initialisation, the
// rate reset and the print interval (which may fail), the array copies, then
// the loop with the interpreter lock released. Between epochs, while a FIFO
// target waits for a reader and while the last save is waited for, the lock
// is retaken briefly so that Ctrl-C ends the call with KeyboardInterrupt.
template <typename Model, typename CopyTargets>
void run_training(Model& model, DynamicOptimizer& opt, std::uint16_t num_epochs,
                  std::uint16_t print_freq, PyObject* x, PyObject* y, PyObject* val_x,
                  PyObject* val_y, CopyTargets copy_targets) {
  const MatrixShape shape = matrix_shape(x);
  const std::uint16_t print_every =
      training::prepare(model.layers, opt, num_epochs, print_freq, shape.rows, shape.cols);
  Matrix x_copy = copy_float_matrix(x);
  const auto y_copy = copy_targets(y);
  const Matrix val_x_copy = copy_float_matrix(val_x);
  const auto val_y_copy = copy_targets(val_y);
  without_gil([&](ReleasedGil& gil) {
    training::train(model, num_epochs, print_every, std::move(x_copy), y_copy, val_x_copy,
                    val_y_copy, std::move(opt), [&gil] { gil.check_signals(); });
  });
}

template <typename Model, typename ToModel, typename CopyTargets>
PyObject* train_model(PyObject* args, PyObject* kwargs, const char* format, ToModel to_model,
                      ArrayKind target_kind, CopyTargets copy_targets) {
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
    run_training(model, opt, num_epochs, print_freq, x, y, val_x, val_y, copy_targets);
    Py_RETURN_NONE;
  });
}

template <typename Model, typename ToModel, typename CopyTargets>
PyObject* evaluate_model(PyObject* args, PyObject* kwargs, const char* format, ToModel to_model,
                         ArrayKind target_kind, CopyTargets copy_targets) {
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
    const Matrix x_copy = copy_float_matrix(val_x);
    const auto y_copy = copy_targets(val_y);
    without_gil([&](ReleasedGil&) { model.test(x_copy, y_copy); });
    Py_RETURN_NONE;
  });
}

}  // namespace

PyObject* train_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return train_model<LinearModel>(args, kwargs, "OOOOOOOO:train_linear_model", to_linear_model,
                                  ArrayKind::float_vector, copy_float_vector);
}

PyObject* train_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return train_model<CategoricalModel>(args, kwargs, "OOOOOOOO:train_categorical_model",
                                       to_categorical_model, ArrayKind::label_vector, copy_labels);
}

PyObject* evaluate_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return evaluate_model<LinearModel>(args, kwargs, "OOO:evaluate_linear_model", to_linear_model,
                                     ArrayKind::float_vector, copy_float_vector);
}

PyObject* evaluate_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return evaluate_model<CategoricalModel>(args, kwargs, "OOO:evaluate_categorical_model",
                                          to_categorical_model, ArrayKind::label_vector,
                                          copy_labels);
}

}  // namespace kemb::bindings
