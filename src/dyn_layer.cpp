// Layer initialisation and the forward and backward dispatch on
// layer_type and activation_type.
#include "dyn_layer.hpp"

#include <bit>
#include <utility>

#include "activation/relu.hpp"
#include "layer/dense.hpp"
#include "layer/dropout.hpp"
#include "random/normal.hpp"
#include "random/thread_rng.hpp"
#include "tensor/elementwise.hpp"

namespace kemb {

using tensor::Matrix;
using tensor::Vector;

namespace {

// 0.01 as a float32 (0x3C23D70A): the scale of the initial weights.
constexpr float kWeightScale = 0.01f;
static_assert(std::bit_cast<std::uint32_t>(kWeightScale) == 0x3C23D70Au);

void init_dense(Layer& layer) {
  // Shapes are checked before the draw so that an impossible size fails
  // without consuming the generator.
  Matrix weights(layer.n_inputs, layer.n_neurons);
  Vector biases(layer.n_neurons);
  const std::uint64_t s = random::next_u64();
  random::StandardNormal normal(random::XorShift128Plus(s - 1, s + 1));
  for (float& w : weights.data) {
    const double z = 0.0 + 1.0 * normal.next();
    w = static_cast<float>(z) * kWeightScale;
  }
  layer.weights = std::move(weights);
  layer.biases = std::move(biases);
}

}  // namespace

void Layer::init() {
  if (layer_type == "dropout") {
    dropout_rate = 1.0f - dropout_rate;
  } else if (layer_type == "dense") {
    init_dense(*this);
  }
}

void Layer::forward(Matrix& out, const Matrix& input, bool training) {
  const bool is_dense = layer_type == "dense";
  const bool is_dropout = layer_type == "dropout";
  const bool rectify = activation_type == "relu";
  // With the rectifier the layer's own output goes to activation_inputs, the
  // copy the backward pass needs, and the rectified values to `out`.
  Matrix& raw = rectify ? activation_inputs : out;
  if (is_dense || is_dropout) tensor::copy_into(inputs, input);
  if (is_dense && rectify) {
    dense::forward_rectified(activation_inputs, out, input, weights, biases);
    return;
  }
  if (is_dense) {
    dense::forward(raw, input, weights, biases);
  } else if (is_dropout) {
    dropout::forward(raw, binary_mask, input, dropout_rate, training);
  } else {
    raw.reshape_for_overwrite(0, 0);
  }
  if (rectify) relu::forward(out, activation_inputs);
}

void Layer::backward(Matrix& dinputs, Matrix& dvalues, bool want_dinputs) {
  const bool rectify = activation_type == "relu";
  if (rectify) relu::backward_in_place(dvalues, activation_inputs);
  if (layer_type == "dropout") {
    dropout::backward(dinputs, dvalues, binary_mask, want_dinputs);
  } else if (layer_type == "dense") {
    const dense::Regularizers regularizers{weight_regularizer_l1, weight_regularizer_l2,
                                           bias_regularizer_l1, bias_regularizer_l2};
    dense::backward(dweights, dbiases, dinputs, dvalues, inputs, weights, biases, regularizers,
                    want_dinputs);
  } else if (rectify) {
    std::swap(dinputs, dvalues);
  } else {
    dinputs.reshape_for_overwrite(0, 0);
  }
}

}  // namespace kemb
