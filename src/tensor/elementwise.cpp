// Element-wise kernels and the bounds checks that guard their fast paths.
#include "tensor/elementwise.hpp"

#include <algorithm>
#include <cmath>

namespace kemb::tensor {

using io::throw_index_out_of_bounds;

void check_covers(Rows<const float> m, std::size_t rows, std::size_t cols) {
  // An array with no positions is covered by anything.
  if (rows == 0 || cols == 0) return;
  if (m.rows < rows || m.cols < cols) throw_index_out_of_bounds();
}

void check_covers(const Matrix& m, std::size_t rows, std::size_t cols) {
  check_covers(rows_of(m), rows, cols);
}

void check_covers(const Vector& v, std::size_t n) {
  if (v.size() < n) throw_index_out_of_bounds();
}

void copy_into(Matrix& dst, const Matrix& src) {
  if (&src == &dst) return;
  dst.reshape_for_overwrite(src.rows, src.cols);
  std::copy(src.data.begin(), src.data.end(), dst.data.begin());
}

void multiply(Matrix& out, const Matrix& a, const Matrix& b) {
  check_covers(b, a.rows, a.cols);
  const std::size_t rows = a.rows;
  const std::size_t cols = a.cols;
  if (&out != &a) out.reshape_for_overwrite(rows, cols);
  if (b.cols == cols) {
    const float* pa = a.data.data();
    const float* pb = b.data.data();
    float* po = out.data.data();
    const std::size_t n = rows * cols;
    for (std::size_t k = 0; k < n; ++k) po[k] = pa[k] * pb[k];
    return;
  }
  for (std::size_t i = 0; i < rows; ++i) {
    const float* pa = a.row(i);
    const float* pb = b.row(i);
    float* po = out.row(i);
    for (std::size_t j = 0; j < cols; ++j) po[j] = pa[j] * pb[j];
  }
}

float sum_abs(const float* values, std::size_t n) {
  float total = 0.0f;
  for (std::size_t k = 0; k < n; ++k) total += std::fabs(values[k]);
  return total;
}

float sum_squares(const float* values, std::size_t n) {
  float total = 0.0f;
  for (std::size_t k = 0; k < n; ++k) total += values[k] * values[k];
  return total;
}

}  // namespace kemb::tensor
