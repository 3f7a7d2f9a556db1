// Layer: the one record for every layer of a model, dense or dropout, chosen
// at run time by `layer_type`. Besides the parameters it carries the caches
// of the last forward pass, the gradients of the last backward pass, the
// optimizer state and the dropout mask, so a layer is saved and loaded whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "field_table.hpp"
#include "tensor/matrix.hpp"

namespace kemb {

struct Layer {
  std::string layer_type;       // "dense" or "dropout"; anything else outputs 0 x 0
  std::string activation_type;  // "relu" applies the rectifier after the layer
  std::uint64_t n_inputs = 0;   // rows of `weights`
  std::uint64_t n_neurons = 0;  // columns of `weights`, length of `biases`
  tensor::Matrix weights;       // (n_inputs, n_neurons)
  tensor::Vector biases;        // (n_neurons)
  float weight_regularizer_l1 = 0.0f;
  float weight_regularizer_l2 = 0.0f;
  float bias_regularizer_l1 = 0.0f;
  float bias_regularizer_l2 = 0.0f;
  tensor::Matrix inputs;             // (batch, features): input of the last forward pass
  tensor::Matrix activation_inputs;  // (batch, outputs): output before the rectifier
  tensor::Matrix dweights;           // (n_inputs, n_neurons): last weight gradient
  tensor::Vector dbiases;            // (n_neurons): last bias gradient
  tensor::Matrix weight_momentums;   // optimizer state, shape of `weights`
  tensor::Matrix weight_cache;       // optimizer state, shape of `weights`
  tensor::Vector bias_momentums;     // optimizer state, length of `biases`
  tensor::Vector bias_cache;         // optimizer state, length of `biases`
  float dropout_rate = 0.0f;         // drop probability as given; keep probability after init()
  tensor::Matrix binary_mask;        // (batch, features): scaled mask of the last training pass

  // The record's name in messages about its array form.
  static constexpr std::string_view kName = "Layer";

  // Every field with its key in the model file, in file order.
  static constexpr auto fields() {
    return std::tuple{
        field("layer_type", &Layer::layer_type),
        field("activation_type", &Layer::activation_type),
        field("n_inputs", &Layer::n_inputs),
        field("n_neurons", &Layer::n_neurons),
        field("weights", &Layer::weights),
        field("biases", &Layer::biases),
        field("weight_regularizer_l1", &Layer::weight_regularizer_l1),
        field("weight_regularizer_l2", &Layer::weight_regularizer_l2),
        field("bias_regularizer_l1", &Layer::bias_regularizer_l1),
        field("bias_regularizer_l2", &Layer::bias_regularizer_l2),
        field("inputs", &Layer::inputs),
        field("activation_inputs", &Layer::activation_inputs),
        field("dweights", &Layer::dweights),
        field("dbiases", &Layer::dbiases),
        field("weight_momentums", &Layer::weight_momentums),
        field("weight_cache", &Layer::weight_cache),
        field("bias_momentums", &Layer::bias_momentums),
        field("bias_cache", &Layer::bias_cache),
        field("dropout_rate", &Layer::dropout_rate),
        field("binary_mask", &Layer::binary_mask),
    };
  }

  // Prepares the layer for a training run; never fails on any field value.
  // "dense": fresh weights 0.01 x N(0, 1), drawn from a xorshift128+ stream
  // seeded by one 64-bit value of the thread's generator, and zero biases;
  // every other field is kept. "dropout": the drop rate becomes the keep
  // probability 1 - rate. Any other type: nothing.
  void init();

  // input: (n_samples, n_features) -> out: (n_samples, n_outputs)
  // "dense" and "dropout" store a copy of `input` in `inputs` (skipped when
  // `input` is that field) and compute their output; any other type outputs
  // 0 x 0 and stores nothing. With activation_type "relu" the output before
  // the rectifier is kept in `activation_inputs`. `out` is reshaped, its
  // storage reused, and must not alias `input`.
  void forward(tensor::Matrix& out, const tensor::Matrix& input, bool training);

  // dvalues: (n_samples, n_outputs), consumed (the rectifier's backward
  // works on it in place) -> dinputs: (n_samples, n_features)
  // Called after a training forward pass on the same batch. Fills `dweights`
  // and `dbiases` of a dense layer. With want_dinputs false the input
  // gradient is not computed (dinputs is then unspecified), but every
  // failure it would have raised is still raised.
  void backward(tensor::Matrix& dinputs, tensor::Matrix& dvalues, bool want_dinputs = true);

  friend bool operator==(const Layer&, const Layer&) = default;
};

}  // namespace kemb
