// Matrix products and column sums: the reductions whose summation order is
// free. The three dense products go to OpenBLAS sgemm with the transposes
// passed as flags, so no transposed copy is ever made.
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::tensor {

enum class Transpose : bool { no = false, yes = true };

// Shape of `a` as the left or right operand of a product: (rows, cols), or
// (cols, rows) when transposed.
struct ProductShape {
  std::size_t rows;
  std::size_t cols;
};
ProductShape operand_shape(const Matrix& a, Transpose t) noexcept;

// Raises the incompatible-product message unless op(a) . op(b) is defined.
void check_product(const Matrix& a, Transpose ta, const Matrix& b, Transpose tb);

// a: (m, k) as op(a), b: (k, n) as op(b) -> c: (m, n)
// c := op(a) . op(b). `c` is reshaped (its storage reused when the element
// count is unchanged) and must not alias `a` or `b`.
void gemm(const Matrix& a, Transpose ta, const Matrix& b, Transpose tb, Matrix& c);

// a: (m, k), b: (k, n) -> (m, n)
Matrix matmul(const Matrix& a, const Matrix& b);

// m: (rows, cols) -> out: (cols), out[j] = sum over i of m[i][j]
void column_sums(const Matrix& m, Vector& out);

// Number of OpenBLAS threads for a product of m x n x k multiply-adds: small
// products run on the calling thread, where waking the pool costs more than
// it saves.
int threads_for_product(std::size_t m, std::size_t n, std::size_t k) noexcept;

// The OpenBLAS kernel family in use ("Haswell", "SkylakeX", ...).
const char* blas_core_name() noexcept;

}  // namespace kemb::tensor
