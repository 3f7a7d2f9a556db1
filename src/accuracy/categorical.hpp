// Fraction of predicted classes equal to their labels.
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::accuracy {

// predictions: (n), labels: (>= n) -> count(prediction_i == label_i) / n as
// float32; NaN for no predictions. Fewer labels than predictions fail with
// "index out of bounds: the len is {len} but the index is {len}".
float categorical(const tensor::Labels& predictions, const tensor::Labels& labels);

}  // namespace kemb::accuracy
