// Construction and reshaping of Matrix and Vector with checked sizes.
#include "tensor/matrix.hpp"

#include <cstddef>
#include <utility>

namespace kemb::tensor {

std::size_t checked_elements(std::size_t rows, std::size_t cols) {
  if (cols != 0 && rows > kMaxElements<float> / cols) io::throw_capacity_overflow();
  return rows * cols;
}

Matrix::Matrix(std::size_t new_rows, std::size_t new_cols) {
  resize_checked(data, checked_elements(new_rows, new_cols));
  rows = new_rows;
  cols = new_cols;
}

Matrix::Matrix(std::size_t new_rows, std::size_t new_cols, FloatArray values) {
  if (checked_elements(new_rows, new_cols) != values.size()) io::throw_index_out_of_bounds();
  data = std::move(values);
  rows = new_rows;
  cols = new_cols;
}

void Matrix::reshape_for_overwrite(std::size_t new_rows, std::size_t new_cols) {
  resize_checked(data, checked_elements(new_rows, new_cols));
  rows = new_rows;
  cols = new_cols;
}

Vector::Vector(std::size_t n) { resize_checked(data, n); }

}  // namespace kemb::tensor
