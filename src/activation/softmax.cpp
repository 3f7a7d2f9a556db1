// Softmax row by row. Each row is finished (maximum, exponentials, sum,
// divisions) before the next starts; the results are those of doing every
// stage for all rows first, since rows do not interact, and the row stays in
// cache.
#include "activation/softmax.hpp"

#include <math.h>

namespace kemb::softmax {

using io::throw_missing_value;
using tensor::Matrix;

void forward(Matrix& out, const Matrix& z) {
  if (z.rows > 0 && z.cols == 0) throw_missing_value();
  if (&out != &z) out.reshape_for_overwrite(z.rows, z.cols);
  const std::size_t cols = z.cols;
  for (std::size_t i = 0; i < z.rows; ++i) {
    const float* in = z.row(i);
    float* o = out.row(i);
    float m = in[0];
    for (std::size_t j = 1; j < cols; ++j) {
      if (in[j] > m) m = in[j];
    }
    for (std::size_t j = 0; j < cols; ++j) o[j] = ::expf(in[j] - m);  // single-precision C library exp
    float s = 0.0f;
    for (std::size_t j = 0; j < cols; ++j) s += o[j];
    for (std::size_t j = 0; j < cols; ++j) o[j] = o[j] / s;
  }
}

}  // namespace kemb::softmax
