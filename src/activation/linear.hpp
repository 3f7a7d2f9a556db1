// The identity output of LinearModel and its prediction: the first output
// column.
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::linear {

// y: (n_samples, n_outputs) -> out: (n_samples), out[i] = y[i][0].
// "ndarray: index out of bounds" for a matrix with rows but no columns.
void predict(tensor::Vector& out, const tensor::Matrix& y);

}  // namespace kemb::linear
