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

// Products of fewer multiply-adds (m x n x k) than this run on the calling
// thread: splitting them gains a few microseconds on an idle machine and
// loses milliseconds when the other core is busy (docs/numerics.md).
inline constexpr std::size_t kThreadedWork = std::size_t{1} << 23;

// a: (m, k) as op(a), b: (k, n) as op(b) -> c: (m, n)
// c := op(a) . op(b). `c` is reshaped (its storage reused when the element
// count is unchanged) and must not alias `a` or `b`. Small products run on
// one OpenBLAS thread, larger ones on up to thread_limit() threads.
void gemm(Matrix& c, const Matrix& a, Transpose ta, const Matrix& b, Transpose tb);

// The most OpenBLAS threads a large product may use; 0 (the default) means
// all that OpenBLAS started with. The training loop lowers it while a save
// is being written in the background, so the writer and the product do not
// fight over the cores. Process-wide, like OpenBLAS's own setting.
void set_thread_limit(int threads) noexcept;
int thread_limit() noexcept;

// m: (rows, cols) -> out: (cols), out[j] = sum over i of m[i][j]
void column_sums(Vector& out, const Matrix& m);

// The OpenBLAS kernel family in use ("Haswell", "SkylakeX", ...).
const char* blas_core_name() noexcept;

}  // namespace kemb::tensor
