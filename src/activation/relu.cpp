// Rectifier forward and backward as branch-free selects, so both loops
// vectorise.
#include "activation/relu.hpp"

#include "tensor/elementwise.hpp"

namespace kemb::relu {

using tensor::Matrix;

void forward(Matrix& out, const Matrix& z) {
  if (&out != &z) out.reshape_for_overwrite(z.rows, z.cols);
  const float* in = z.data.data();
  float* o = out.data.data();
  const std::size_t n = z.size();
  for (std::size_t k = 0; k < n; ++k) o[k] = in[k] < 0.0f ? 0.0f : in[k];
}

void backward_in_place(Matrix& dvalues, const Matrix& activation_inputs) {
  const Matrix& a = activation_inputs;
  tensor::check_covers(a, dvalues.rows, dvalues.cols);
  if (a.cols == dvalues.cols) {
    const float* pa = a.data.data();
    float* d = dvalues.data.data();
    const std::size_t n = dvalues.size();
    for (std::size_t k = 0; k < n; ++k) {
      const float g = d[k];  // read whatever the select picks: clang vectorises only then
      d[k] = pa[k] <= 0.0f ? 0.0f : g;
    }
    return;
  }
  for (std::size_t i = 0; i < dvalues.rows; ++i) {
    const float* pa = a.row(i);
    float* d = dvalues.row(i);
    for (std::size_t j = 0; j < dvalues.cols; ++j) {
      const float g = d[j];
      d[j] = pa[j] <= 0.0f ? 0.0f : g;
    }
  }
}

}  // namespace kemb::relu
