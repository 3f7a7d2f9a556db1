// The module's function table, in registration order.
#include "bindings/functions.hpp"

namespace kemb::bindings {
namespace {

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
