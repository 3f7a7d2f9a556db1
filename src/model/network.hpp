// The pass of a batch through a model's layer stack, forward and backward,
// over buffers that live in a Workspace so that an epoch allocates nothing
// once the batch shape is stable; the regularization loss of a stack; and
// the check of a stack's shapes that a training call makes first.
#pragma once

#include <vector>

#include "dyn_layer.hpp"
#include "tensor/matrix.hpp"

namespace kemb::model {

// Buffers reused from one pass to the next. One workspace serves one model;
// the training and validation passes may share it.
struct Workspace {
  // Output of layer i when the next layer keeps no copy of its input (the
  // last layer, or a next layer of unknown type); otherwise layer i writes
  // straight into the next layer's `inputs`, saving that layer's copy.
  std::vector<tensor::Matrix> layer_outputs;
  // A training set moved in once per training call. A pass given this very
  // matrix as its input lends it to the first layer as that layer's
  // `inputs` instead of copying it there (the copy is the largest
  // element-wise cost of an epoch); the next pass over any other input takes
  // it back first. The layers end up exactly as if it had been copied. While
  // lent, this field holds the layer's previous storage: pass it only as the
  // input of a pass, never read it.
  tensor::Matrix training_input;
  bool training_input_lent = false;
  tensor::Matrix output;    // output activation of the model (softmax)
  tensor::Matrix gradient;  // loss gradient; backward alternates it with next_gradient
  tensor::Matrix next_gradient;
};

// True for the layer kinds that store a copy of their input in `inputs`
// (dense and dropout).
bool keeps_input(const Layer& layer);

// x: (n_samples, n_features) -> (n_samples, n_outputs of the last layer)
// Runs Layer::forward on every layer, first to last. The result lives in the
// workspace or in a layer (or is `x` itself for an empty stack) and stays
// valid until the next pass. `x` may be ws.training_input (see there).
const tensor::Matrix& forward_layers(std::vector<Layer>& layers, const tensor::Matrix& x,
                                     bool training, Workspace& ws);

// x: (rows, cols) -> nothing, or the failure of the first training pass
// over such an input once Layer::init has run on every layer (a dense
// layer's weights are then n_inputs x n_neurons): the incompatible-product
// error of the first dense layer that cannot take what reaches it. Reads
// only the layers' types and sizes. A dense layer whose weights could not
// even be sized raises "capacity overflow" first, as its init would.
void check_first_pass(const std::vector<Layer>& layers, std::size_t rows, std::size_t cols);

// ws.gradient: (n_samples, n_outputs), the loss gradient, consumed.
// Runs Layer::backward on every layer, last to first, filling dweights and
// dbiases; the first layer's input gradient is not computed.
void backward_layers(std::vector<Layer>& layers, Workspace& ws);

// Sum over the layers, in order, of the four penalties whose coefficient is
// > 0 (NaN is not): weight_regularizer_l1 x sum|w|, weight_regularizer_l2 x
// sum w^2, bias_regularizer_l1 x sum|b|, bias_regularizer_l2 x sum b^2; each
// sum runs left to right in float32.
float regularization_loss(const std::vector<Layer>& layers);

}  // namespace kemb::model
