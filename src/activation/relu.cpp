// Rectifier forward and backward as branch-free selects, so both loops
// vectorise.
#include "activation/relu.hpp"

#include "tensor/elementwise.hpp"

namespace kemb::relu {

using tensor::Matrix;

void forward(const Matrix& z, Matrix& out) {
  if (&out != &z) out.reshape_for_overwrite(z.rows, z.cols);
  const float* in = z.data.data();
  float* o = out.data.data();
  const std::size_t n = z.size();
  for (std::size_t k = 0; k < n; ++k) o[k] = in[k] < 0.0f ? 0.0f : in[k];
}

Matrix forward(const Matrix& z) {
  Matrix out;
  forward(z, out);
  return out;
}

void backward_in_place(const Matrix& activation_inputs, Matrix& dvalues) {
  const Matrix& a = activation_inputs;
  tensor::check_covers(a, dvalues.rows, dvalues.cols);
  if (a.cols == dvalues.cols) {
    const float* pa = a.data.data();
    float* d = dvalues.data.data();
    const std::size_t n = dvalues.size();
    for (std::size_t k = 0; k < n; ++k) d[k] = pa[k] <= 0.0f ? 0.0f : d[k];
    return;
  }
  for (std::size_t i = 0; i < dvalues.rows; ++i) {
    const float* pa = a.row(i);
    float* d = dvalues.row(i);
    for (std::size_t j = 0; j < dvalues.cols; ++j) d[j] = pa[j] <= 0.0f ? 0.0f : d[j];
  }
}

Matrix backward(const Matrix& activation_inputs, const Matrix& dvalues) {
  Matrix d = dvalues;
  backward_in_place(activation_inputs, d);
  return d;
}

}  // namespace kemb::relu
