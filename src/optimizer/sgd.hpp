// Plain gradient descent: parameter := parameter + gradient x (-lr).
#pragma once

#include "dyn_layer.hpp"
#include "optimizer/dyn_optimizer.hpp"

namespace kemb::sgd {

// weights: (n_inputs, n_neurons), dweights: at least that; biases: (n),
// dbiases: at least (n). Gradient elements beyond the parameters' shape are
// ignored; a gradient that does not cover them fails with "ndarray: index
// out of bounds". The optimizer state fields are not touched, and
// `momentum` plays no part (no module function can set it).
void update_params(const DynamicOptimizer& optimizer, Layer& layer);

}  // namespace kemb::sgd
