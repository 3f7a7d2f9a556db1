// Dropout: in training every element survives with the keep probability p
// (the layer's dropout_rate after Layer::init) and is scaled by 1/p; outside
// training the layer is the identity.
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::dropout {

// input: (n_samples, n_features) -> out, binary_mask: (n_samples, n_features)
// In training, checks the probability (even for an empty input: "called
// `Result::unwrap()` on an `Err` value: ProbabilityTooSmall" unless p >= 0,
// "...: ProbabilityTooLarge" unless p <= 1), draws a fresh binary_mask (one Bernoulli draw per element, row-major) and sets
// out := input x binary_mask; otherwise out := input and the mask is left
// as it is. `out` must not alias `input`.
void forward(tensor::Matrix& out, tensor::Matrix& binary_mask, const tensor::Matrix& input,
             float keep_probability, bool training);

// dvalues: (n_samples, n_features), binary_mask: at least (n_samples,
// n_features) -> dinputs: (n_samples, n_features), dvalues x binary_mask.
// With want_dinputs false only the bounds check runs ("ndarray: index out of
// bounds" when the mask does not cover the gradient) and dinputs is left as
// it is.
void backward(tensor::Matrix& dinputs, const tensor::Matrix& dvalues,
              const tensor::Matrix& binary_mask, bool want_dinputs);

}  // namespace kemb::dropout
