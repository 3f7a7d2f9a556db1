// Dense layer: out = X . W + b. The forward product and both gradient
// products are single sgemm calls over the whole batch.
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::dense {

// The penalty coefficients of a layer; each term applies only when its
// coefficient is > 0 (NaN never does).
struct Regularizers {
  float weight_l1 = 0.0f;
  float weight_l2 = 0.0f;
  float bias_l1 = 0.0f;
  float bias_l2 = 0.0f;
};

// inputs: (n_samples, n_inputs), weights: (n_inputs, n_neurons), biases:
// (>= n_neurons) -> out: (n_samples, n_neurons)
// out := inputs . weights, then out[i][j] += biases[j]. Raises the
// incompatible-product message for unsuited shapes and "ndarray: index out of
// bounds" for too few biases. `out` must not alias the operands.
void forward(tensor::Matrix& out, const tensor::Matrix& inputs, const tensor::Matrix& weights,
             const tensor::Vector& biases);

// As forward into `raw`, followed by the rectifier into `out`
// (relu::forward): the bias addition and the rectifier share one pass.
void forward_rectified(tensor::Matrix& raw, tensor::Matrix& out, const tensor::Matrix& inputs,
                       const tensor::Matrix& weights, const tensor::Vector& biases);

// dvalues: (n_samples, n_neurons), inputs: (n_samples, n_inputs), weights:
// (n_inputs, n_neurons), biases: (n_neurons)
// -> dweights: (n_inputs, n_neurons), dbiases: (n_neurons),
//    dinputs: (n_samples, n_inputs)
// dweights := inputs^T . dvalues and dbiases := column sums of dvalues, each
// plus the regularizer terms whose coefficient is > 0 (sign x l1, then
// w x (l2 + l2), read at the gradient's positions); then dinputs :=
// dvalues . weights^T. With want_dinputs false the last product is skipped
// (its shape is still checked) and dinputs is left as it is.
void backward(tensor::Matrix& dweights, tensor::Vector& dbiases, tensor::Matrix& dinputs,
              const tensor::Matrix& dvalues, const tensor::Matrix& inputs,
              const tensor::Matrix& weights, const tensor::Vector& biases,
              const Regularizers& regularizers, bool want_dinputs);

}  // namespace kemb::dense
