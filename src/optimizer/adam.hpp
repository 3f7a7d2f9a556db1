// The two Adam rules. update_params corrects the momentums and the cache
// element by element; update_params_tf folds both corrections into one step
// size per call. Both keep their state in the layer's four optimizer fields.
#pragma once

#include <cstdint>

#include "dyn_layer.hpp"
#include "optimizer/dyn_optimizer.hpp"

namespace kemb::adam {

// base^t for t >= 1 by binary exponentiation in float32 from the lowest bit
// of t upwards: r = t odd ? base : 1; s = base; while t >= 2 { s = s x s; if
// bit 1 of t: r = r x s; t >>= 1 }.
float power(float base, std::int32_t t) noexcept;

// weights: (n_inputs, n_neurons), biases: (n_neurons); gradients and state of
// the same shapes. Creates all four state fields as zeros when weight_cache
// is empty, then moves every parameter by
// (momentum / (1 - b1^t)) x (-lr) / (sqrt(cache / (1 - b2^t)) + eps), where
// t = iterations + 1 in wrapping 32-bit arithmetic.
// Arrays that disagree in shape are read by 2-D index and fail with
// "ndarray: index out of bounds" when a read falls outside.
void update_params(const DynamicOptimizer& optimizer, Layer& layer);

// As update_params, but each state field is created on its own when empty,
// and every parameter moves by - (momentum x a) / (sqrt(cache) + eps) with
// a = (sqrt(1 - b2^t) x lr) / (1 - b1^t); weights first, then biases.
void update_params_tf(const DynamicOptimizer& optimizer, Layer& layer);

}  // namespace kemb::adam
