// The rectifier applied inside a layer whose activation_type is "relu".
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::relu {

// z: (n_samples, n_outputs) -> out: (n_samples, n_outputs)
// Elements below 0 become +0.0; zeros of either sign and NaN pass unchanged.
// `out` may alias `z`.
void forward(tensor::Matrix& out, const tensor::Matrix& z);

// activation_inputs: at least (n_samples, n_outputs), dvalues: (n_samples,
// n_outputs), changed in place. Where the pre-activation is <= 0 the gradient
// becomes +0.0; a NaN pre-activation passes it unchanged. The pre-activations
// are read at the gradient's positions: "ndarray: index out of bounds" when
// they do not cover them.
void backward_in_place(tensor::Matrix& dvalues, const tensor::Matrix& activation_inputs);

}  // namespace kemb::relu
