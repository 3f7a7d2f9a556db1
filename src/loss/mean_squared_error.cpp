// Mean squared error loss and gradient.
#include "loss/mean_squared_error.hpp"

#include "tensor/elementwise.hpp"

namespace kemb::mean_squared_error {

using io::throw_missing_value;
using tensor::Matrix;
using tensor::Vector;

float calculate(const Vector& predictions, const Vector& targets) {
  const std::size_t n = predictions.size();
  tensor::check_covers(targets, n);
  if (n == 0) throw_missing_value();
  float total = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float diff = targets[i] - predictions[i];
    total += diff * diff;
  }
  return total / static_cast<float>(n);
}

void backward(Matrix& d, const Matrix& output, const Vector& targets) {
  tensor::check_covers(targets, output.rows);
  if (&d != &output) d.reshape_for_overwrite(output.rows, output.cols);
  const float n_outputs = static_cast<float>(output.cols);
  const float n_samples = static_cast<float>(output.rows);
  for (std::size_t i = 0; i < output.rows; ++i) {
    const float t = targets[i];
    const float* o = output.row(i);
    float* g = d.row(i);
    for (std::size_t j = 0; j < output.cols; ++j) {
      g[j] = ((t - o[j]) * -2.0f) / n_outputs / n_samples;
    }
  }
}

}  // namespace kemb::mean_squared_error
