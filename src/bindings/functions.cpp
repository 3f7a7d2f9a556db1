// The module functions. Each one matches its arguments, converts them in
// signature order (the first failure ends the call before any work), then
// calls into the core inside the error guard.
#include "bindings/functions.hpp"

#include <optional>
#include <string>
#include <utility>

#include "bindings/arrays.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/types.hpp"
#include "io/error.hpp"

namespace kemb::bindings {
namespace {

// PyArg_ParseTupleAndKeywords takes a non-const keyword list before 3.13.
#define KEMB_KEYWORDS(...)                                   \
  static const char* const kNames[] = {__VA_ARGS__, nullptr}; \
  char** keywords = const_cast<char**>(kNames)

// --- construction ------------------------------------------------------------

template <typename Model>
PyObject* create_model(PyObject* args, PyObject* kwargs, const char* format) {
  KEMB_KEYWORDS("output_type", "save_best_params");
  PyObject* output_type = nullptr;
  PyObject* save_best_params = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &output_type,
                                   &save_best_params)) {
    return nullptr;
  }
  return guarded([&] {
    Model model;
    model.output_type = to_text(output_type, "output_type");
    model.save_best_params = to_text(save_best_params, "save_best_params");
    return wrap(std::move(model));
  });
}

PyObject* create_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return create_model<LinearModel>(args, kwargs, "OO:create_linear_model");
}

PyObject* create_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return create_model<CategoricalModel>(args, kwargs, "OO:create_categorical_model");
}

template <typename Model, typename ToModel>
PyObject* add_layer(PyObject* args, PyObject* kwargs, const char* format, ToModel to_model) {
  KEMB_KEYWORDS("model", "n_inputs", "n_neurons", "layer_type", "activation_type", "dropout_rate");
  PyObject* model_arg = nullptr;
  PyObject* n_inputs = nullptr;
  PyObject* n_neurons = nullptr;
  PyObject* layer_type = nullptr;
  PyObject* activation_type = nullptr;
  PyObject* dropout_rate = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &model_arg, &n_inputs,
                                   &n_neurons, &layer_type, &activation_type, &dropout_rate)) {
    return nullptr;
  }
  return guarded([&] {
    Model model = to_model(model_arg, "model");
    Layer layer;
    layer.n_inputs = to_optional(n_inputs, "n_inputs", to_count).value_or(0);
    layer.n_neurons = to_optional(n_neurons, "n_neurons", to_count).value_or(0);
    layer.layer_type = to_optional(layer_type, "layer_type", to_text).value_or("");
    layer.activation_type = to_optional(activation_type, "activation_type", to_text).value_or("");
    layer.dropout_rate = to_optional(dropout_rate, "dropout_rate", to_f32).value_or(0.0f);
    model.layers.push_back(std::move(layer));
    return wrap(std::move(model));
  });
}

PyObject* add_linear_model_layer(PyObject*, PyObject* args, PyObject* kwargs) {
  return add_layer<LinearModel>(args, kwargs, "O|OOOOO:add_linear_model_layer", to_linear_model);
}

PyObject* add_categorical_model_layer(PyObject*, PyObject* args, PyObject* kwargs) {
  return add_layer<CategoricalModel>(args, kwargs, "O|OOOOO:add_categorical_model_layer",
                                     to_categorical_model);
}

PyObject* create_optimizer(PyObject*, PyObject* args, PyObject* kwargs) {
  KEMB_KEYWORDS("opt_type", "learning_rate", "decay");
  PyObject* opt_type = nullptr;
  PyObject* learning_rate = nullptr;
  PyObject* decay = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:create_optimizer", keywords, &opt_type,
                                   &learning_rate, &decay)) {
    return nullptr;
  }
  return guarded([&] {
    std::string type = to_text(opt_type, "opt_type");
    const float rate = to_f32(learning_rate, "learning_rate");
    const float decay_value = to_f32(decay, "decay");
    return wrap(DynamicOptimizer::create(std::move(type), rate, decay_value));
  });
}

// --- training, evaluation, loading -------------------------------------------

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

PyObject* train_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return train_model<LinearModel>(args, kwargs, "OOOOOOOO:train_linear_model", to_linear_model,
                                  ArrayKind::float_vector);
}

PyObject* train_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return train_model<CategoricalModel>(args, kwargs, "OOOOOOOO:train_categorical_model",
                                       to_categorical_model, ArrayKind::label_vector);
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

PyObject* evaluate_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return evaluate_model<LinearModel>(args, kwargs, "OOO:evaluate_linear_model", to_linear_model,
                                     ArrayKind::float_vector);
}

PyObject* evaluate_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return evaluate_model<CategoricalModel>(args, kwargs, "OOO:evaluate_categorical_model",
                                          to_categorical_model, ArrayKind::label_vector);
}

PyObject* load_model(PyObject* args, PyObject* kwargs, const char* format) {
  KEMB_KEYWORDS("save_best_params");
  PyObject* path_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &path_arg)) return nullptr;
  return guarded([&]() -> PyObject* {
    const std::string path = to_text(path_arg, "save_best_params");
    (void)path;
    not_yet_available();
  });
}

PyObject* load_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return load_model(args, kwargs, "O:load_linear_model");
}

PyObject* load_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return load_model(args, kwargs, "O:load_categorical_model");
}

// --- table -------------------------------------------------------------------

#define KEMB_FUNCTION(name, signature)                                              \
  PyMethodDef {                                                                     \
    #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)),       \
        METH_VARARGS | METH_KEYWORDS, #name "(" signature ")\n--\n\n"               \
  }

PyMethodDef g_functions[] = {
    KEMB_FUNCTION(create_linear_model, "output_type, save_best_params"),
    KEMB_FUNCTION(create_categorical_model, "output_type, save_best_params"),
    KEMB_FUNCTION(add_linear_model_layer,
                  "model, n_inputs=None, n_neurons=None, layer_type=None, activation_type=None, "
                  "dropout_rate=None"),
    KEMB_FUNCTION(add_categorical_model_layer,
                  "model, n_inputs=None, n_neurons=None, layer_type=None, activation_type=None, "
                  "dropout_rate=None"),
    KEMB_FUNCTION(create_optimizer, "opt_type, learning_rate, decay"),
    KEMB_FUNCTION(train_linear_model, "model, opt, num_epochs, print_freq, x, y, val_x, val_y"),
    KEMB_FUNCTION(train_categorical_model,
                  "model, opt, num_epochs, print_freq, x, y, val_x, val_y"),
    KEMB_FUNCTION(load_linear_model, "save_best_params"),
    KEMB_FUNCTION(evaluate_linear_model, "model, val_x, val_y"),
    KEMB_FUNCTION(load_categorical_model, "save_best_params"),
    KEMB_FUNCTION(evaluate_categorical_model, "model, val_x, val_y"),
};

}  // namespace

std::span<PyMethodDef> module_functions() { return g_functions; }

}  // namespace kemb::bindings
