// sgemm wrapper: shape checks with the shared message and the degenerate
// shapes that BLAS does not accept.
#include "tensor/gemm.hpp"

#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <climits>

namespace kemb::tensor {

using io::throw_capacity_overflow;
using io::throw_incompatible_product;

namespace {

int blas_int(std::size_t n) {
  if (n > static_cast<std::size_t>(INT_MAX)) throw_capacity_overflow();
  return static_cast<int>(n);
}

CBLAS_TRANSPOSE flag(Transpose t) { return t == Transpose::yes ? CblasTrans : CblasNoTrans; }

std::atomic<int> limit{0};

// The threads OpenBLAS started with, taken before the first change.
int started_threads() noexcept {
  static const int threads = scipy_openblas_get_num_threads();
  return threads;
}

// Sets OpenBLAS's thread count for a product of `work` multiply-adds
// (a double: m x n x k may exceed 64 bits before the size checks). The
// setting is a plain store inside OpenBLAS; it is skipped when unchanged.
void use_threads_for(double work) noexcept {
  const int all = started_threads();
  const int cap = limit.load(std::memory_order_relaxed);
  const int want = work < static_cast<double>(kThreadedWork) ? 1 : (cap > 0 && cap < all ? cap : all);
  if (scipy_openblas_get_num_threads() != want) scipy_openblas_set_num_threads(want);
}

}  // namespace

ProductShape operand_shape(const Matrix& a, Transpose t) noexcept {
  return t == Transpose::yes ? ProductShape{a.cols, a.rows} : ProductShape{a.rows, a.cols};
}

void check_product(const Matrix& a, Transpose ta, const Matrix& b, Transpose tb) {
  const ProductShape left = operand_shape(a, ta);
  const ProductShape right = operand_shape(b, tb);
  if (left.cols != right.rows) {
    throw_incompatible_product(left.rows, left.cols, right.rows, right.cols);
  }
}

void gemm(Matrix& c, const Matrix& a, Transpose ta, const Matrix& b, Transpose tb) {
  check_product(a, ta, b, tb);
  const std::size_t m = operand_shape(a, ta).rows;
  const std::size_t k = operand_shape(a, ta).cols;
  const std::size_t n = operand_shape(b, tb).cols;
  c.reshape_for_overwrite(m, n);
  if (m == 0 || n == 0) return;
  if (k == 0) {
    // An empty sum: BLAS rejects leading dimensions of 0, and the result is
    // all zeros anyway.
    std::fill(c.data.begin(), c.data.end(), 0.0f);
    return;
  }
  use_threads_for(static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k));
  scipy_cblas_sgemm(CblasRowMajor, flag(ta), flag(tb), blas_int(m), blas_int(n), blas_int(k), 1.0f,
                    a.data.data(), blas_int(a.cols), b.data.data(), blas_int(b.cols), 0.0f,
                    c.data.data(), blas_int(n));
}

void column_sums(Vector& out, const Matrix& m) {
  out.resize_for_overwrite(m.cols);
  float* sums = out.data.data();
  std::fill(sums, sums + m.cols, 0.0f);
  // Row after row into one accumulator per column: the inner loop runs over
  // contiguous columns and vectorises.
  for (std::size_t i = 0; i < m.rows; ++i) {
    const float* row = m.row(i);
    for (std::size_t j = 0; j < m.cols; ++j) sums[j] += row[j];
  }
}

void set_thread_limit(int threads) noexcept { limit.store(threads, std::memory_order_relaxed); }

int thread_limit() noexcept { return limit.load(std::memory_order_relaxed); }

const char* blas_core_name() noexcept { return scipy_openblas_get_corename(); }

}  // namespace kemb::tensor
