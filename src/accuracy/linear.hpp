// Fraction of predictions within an absolute tolerance of their targets.
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::accuracy {

// predictions: (n), targets: (m >= n) -> count(precision >= |p_i - t_i|) / m
// as float32 (the divisor is the number of targets; a NaN difference never
// counts). "ndarray: index out of bounds" when m < n.
float linear(const tensor::Vector& predictions, const tensor::Vector& targets, float precision);

}  // namespace kemb::accuracy
