// Matrix products and column sums: the reductions whose summation order is
// free. The three dense products go to OpenBLAS sgemm with the transposes
// passed as flags, so no transposed copy is ever made.
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::tensor {

enum class Transpose : bool { no = false, yes = true };

// Raises the incompatible-product message unless op(a) . op(b) is defined.
void check_product(const Matrix& a, Transpose ta, const Matrix& b, Transpose tb);

// Products of fewer multiply-adds (m x n x k) than this run on the calling
// thread: splitting them gains a few microseconds on an idle machine and
// loses milliseconds when the other core is busy (docs/numerics.md).
inline constexpr std::size_t kThreadedWork = std::size_t{1} << 23;

// a: (m, k) as op(a), b: (k, n) as op(b) -> c: (m, n)
// c := op(a) . op(b). `c` is reshaped (its storage reused when the element
// count is unchanged) and must not alias `a` or `b`. Every sgemm call runs
// on one thread; products of at least kThreadedWork multiply-adds are split
// over kemb's own threads (tensor/pool.hpp), at most as many as OpenBLAS's
// thread count (OPENBLAS_NUM_THREADS, threadpoolctl).
void gemm(Matrix& c, const Matrix& a, Transpose ta, const Matrix& b, Transpose tb);

// m: (rows, cols) -> out: (cols), out[j] = sum over i of m[i][j]
void column_sums(Vector& out, const Matrix& m);

// The OpenBLAS kernel family in use ("Haswell", "SkylakeX", ...).
const char* blas_core_name() noexcept;

}  // namespace kemb::tensor
