// Dropout: in training every element survives with the keep probability p
// (the layer's dropout_rate after Layer::init) and is scaled by 1/p; outside
// training the layer is the identity.
#pragma once

#include "dyn_layer.hpp"

namespace kemb::dropout {

// Raises "called `Result::unwrap()` on an `Err` value: ProbabilityTooSmall"
// unless p >= 0 (NaN included) and "...: ProbabilityTooLarge" unless p <= 1.
void check_probability(float p);

// Mask value of an element that survives, b / p with b = 1 in float32, and 0
// for p == 0: with nothing kept every mask value is 0 rather than 0/0.
float kept_value(float p) noexcept;

// inputs: (n_samples, n_features) -> out: (n_samples, n_features)
// Stores a copy of `input` in layer.inputs (skipped when `input` is that
// field). In training, checks the probability (even for an empty input),
// draws a fresh binary_mask (one Bernoulli draw per element, row-major) and
// sets out := input x binary_mask; otherwise out := input. `out` must not
// alias `input`.
void forward(Layer& layer, const tensor::Matrix& input, bool training, tensor::Matrix& out);

// binary_mask: at least (n_samples, n_features), dvalues: (n_samples,
// n_features) -> dinputs: (n_samples, n_features), dvalues x binary_mask.
// With want_dinputs false only the bounds check runs ("ndarray: index out of
// bounds" when the mask does not cover the gradient) and dinputs is left as
// it is.
void backward(const tensor::Matrix& binary_mask, const tensor::Matrix& dvalues,
              tensor::Matrix& dinputs, bool want_dinputs = true);

}  // namespace kemb::dropout
