// Layer-stack passes and the regularization loss.
#include "model/network.hpp"

#include <utility>

#include "io/error.hpp"
#include "tensor/elementwise.hpp"

namespace kemb::model {

using tensor::FloatArray;
using tensor::Matrix;

namespace {

// Gives ws.training_input back from the first layer, which receives the
// storage it held before.
void take_back_training_input(std::vector<Layer>& layers, Workspace& ws) {
  if (!ws.training_input_lent) return;
  ws.training_input_lent = false;
  if (!layers.empty()) std::swap(layers.front().inputs, ws.training_input);
}

}  // namespace

// Its input buffer can serve as the previous layer's output buffer.
bool keeps_input(const Layer& layer) {
  return layer.layer_type == "dense" || layer.layer_type == "dropout";
}

const Matrix& forward_layers(std::vector<Layer>& layers, const Matrix& x, bool training,
                             Workspace& ws) {
  const Matrix* current = &x;
  if (&x == &ws.training_input) {
    if (!ws.training_input_lent && !layers.empty() && keeps_input(layers.front())) {
      // Layer::forward skips the copy of an input that already is its `inputs`.
      std::swap(layers.front().inputs, ws.training_input);
      ws.training_input_lent = true;
    }
    if (ws.training_input_lent && !layers.empty()) current = &layers.front().inputs;
  } else {
    take_back_training_input(layers, ws);
  }
  ws.layer_outputs.resize(layers.size());
  for (std::size_t i = 0; i < layers.size(); ++i) {
    const bool route = i + 1 < layers.size() && keeps_input(layers[i + 1]);
    Matrix& out = route ? layers[i + 1].inputs : ws.layer_outputs[i];
    layers[i].forward(out, *current, training);
    current = &out;
  }
  return *current;
}

void check_first_pass(const std::vector<Layer>& layers, std::size_t rows, std::size_t cols) {
  for (const Layer& layer : layers) {
    if (layer.layer_type == "dense") {
      tensor::checked_elements(layer.n_inputs, layer.n_neurons);
      tensor::checked_elements(layer.n_neurons, 1);
    }
  }
  for (const Layer& layer : layers) {
    if (layer.layer_type == "dense") {
      if (layer.n_inputs != cols) {
        io::throw_incompatible_product(rows, cols, layer.n_inputs, layer.n_neurons);
      }
      cols = layer.n_neurons;
    } else if (layer.layer_type != "dropout") {
      rows = cols = 0;  // a layer of no known type outputs 0 x 0
    }
  }
}

void backward_layers(std::vector<Layer>& layers, Workspace& ws) {
  Matrix* dvalues = &ws.gradient;
  Matrix* dinputs = &ws.next_gradient;
  for (std::size_t i = layers.size(); i-- > 0;) {
    layers[i].backward(*dinputs, *dvalues, i != 0);
    std::swap(dvalues, dinputs);
  }
}

float regularization_loss(const std::vector<Layer>& layers) {
  float total = 0.0f;
  for (const Layer& layer : layers) {
    const FloatArray& w = layer.weights.data;
    const FloatArray& b = layer.biases.data;
    // The weight-magnitude term takes its own coefficient and, like the
    // other three, appears only when that coefficient is > 0: a model with
    // all coefficients 0 reports no penalty.
    if (layer.weight_regularizer_l1 > 0.0f) {
      total += layer.weight_regularizer_l1 * tensor::sum_abs(w.data(), w.size());
    }
    if (layer.weight_regularizer_l2 > 0.0f) {
      total += layer.weight_regularizer_l2 * tensor::sum_squares(w.data(), w.size());
    }
    if (layer.bias_regularizer_l1 > 0.0f) {
      total += layer.bias_regularizer_l1 * tensor::sum_abs(b.data(), b.size());
    }
    if (layer.bias_regularizer_l2 > 0.0f) {
      total += layer.bias_regularizer_l2 * tensor::sum_squares(b.data(), b.size());
    }
  }
  return total;
}

}  // namespace kemb::model
