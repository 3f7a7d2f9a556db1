// Dense layer: out = X . W + b. The forward product and both gradient
// products are single sgemm calls over the whole batch.
#pragma once

#include "dyn_layer.hpp"

namespace kemb::dense {

// inputs: (n_samples, n_inputs), weights: (n_inputs, n_neurons), biases:
// (>= n_neurons) -> out: (n_samples, n_neurons)
// out := inputs . weights, then out[i][j] += biases[j]. Raises the
// incompatible-product message for unsuited shapes and "ndarray: index out of
// bounds" for too few biases. `out` must not alias the operands.
void forward(const tensor::Matrix& inputs, const tensor::Matrix& weights,
             const tensor::Vector& biases, tensor::Matrix& out);
tensor::Matrix forward(const tensor::Matrix& inputs, const tensor::Matrix& weights,
                       const tensor::Vector& biases);

// As forward into `raw`, followed by the rectifier into `out`
// (relu::forward): the bias addition and the rectifier share one pass.
void forward_rectified(const tensor::Matrix& inputs, const tensor::Matrix& weights,
                       const tensor::Vector& biases, tensor::Matrix& raw, tensor::Matrix& out);

// layer.inputs: (n_samples, n_inputs), dvalues: (n_samples, n_neurons)
// -> layer.dweights: (n_inputs, n_neurons), layer.dbiases: (n_neurons),
//    dinputs: (n_samples, n_inputs)
// dweights := inputs^T . dvalues and dbiases := column sums of dvalues, each
// plus the regularizer terms whose coefficient is > 0; then dinputs :=
// dvalues . weights^T. With want_dinputs false the last product is skipped
// (its shape is still checked) and dinputs is left as it is.
void backward(Layer& layer, const tensor::Matrix& dvalues, tensor::Matrix& dinputs,
              bool want_dinputs = true);
tensor::Matrix backward(Layer& layer, const tensor::Matrix& dvalues);

}  // namespace kemb::dense
