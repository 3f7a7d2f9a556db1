// Mean squared error of the linear model's predictions (first output
// column) and its gradient with respect to the whole output.
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::mean_squared_error {

// predictions: (n), targets: (>= n) -> loss
// (sum over i of (t_i - p_i) x (t_i - p_i)) / n, summed left to right.
// "ndarray: index out of bounds" when targets are fewer than predictions;
// "called `Option::unwrap()` on a `None` value" for no predictions.
float calculate(const tensor::Vector& predictions, const tensor::Vector& targets);

// output: (n_samples, n_outputs), targets: (>= n_samples)
// -> d: (n_samples, n_outputs), d[i][j] := ((t_i - output[i][j]) x -2.0)
// / n_outputs / n_samples, in exactly that order. `d` may alias `output`.
void backward(tensor::Matrix& d, const tensor::Matrix& output, const tensor::Vector& targets);

}  // namespace kemb::mean_squared_error
