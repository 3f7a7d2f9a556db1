// Categorical cross-entropy of softmax probabilities against class indices,
// and its gradient with respect to the softmax input.
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::categorical_crossentropy {

// Lower and upper clip bounds of the probabilities: 1e-7 (0x33D6BF95) and
// 1 - 1e-7 (0x3F7FFFFE).
inline constexpr float kClipLow = 1e-7f;
inline constexpr float kClipHigh = 1.0f - 1e-7f;

// output: (n_samples, n_classes), labels: (n) with n <= n_samples -> loss
// (sum over i of -logf(clip(output[i][label_i]))) / n, summed left to right;
// NaN when there are no labels. "ndarray: index out of bounds" for a label
// outside the columns or more labels than rows.
float calculate(const tensor::Matrix& output, const tensor::Labels& labels);

// output: (n_samples, n_classes), labels: (n) -> d: (n_samples, n_classes)
// d := (output - one_hot(labels)) / n_samples: the label's element gets
// + (-1.0) before the division. `d` may alias `output`.
void backward(tensor::Matrix& d, const tensor::Matrix& output, const tensor::Labels& labels);

}  // namespace kemb::categorical_crossentropy
