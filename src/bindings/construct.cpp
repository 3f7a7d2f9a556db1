// Functions that build models and optimizers.
#include "bindings/functions.hpp"

#include <string>
#include <utility>

#include "bindings/args.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/types.hpp"

namespace kemb::bindings {
namespace {

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

}  // namespace

PyObject* create_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return create_model<LinearModel>(args, kwargs, "OO:create_linear_model");
}

PyObject* create_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return create_model<CategoricalModel>(args, kwargs, "OO:create_categorical_model");
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

}  // namespace kemb::bindings
