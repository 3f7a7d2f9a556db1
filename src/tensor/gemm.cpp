// sgemm wrapper: shape checks with the shared message, the degenerate
// shapes that BLAS does not accept, and the split of large products over
// kemb's own threads.
#include "tensor/gemm.hpp"

#include <cblas.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <vector>

#include "tensor/blas_threads.hpp"
#include "tensor/detail.hpp"
#include "tensor/pool.hpp"

namespace kemb::tensor {

using io::throw_capacity_overflow;
using io::throw_incompatible_product;
using detail::ProductPlan;
using detail::Split;

namespace {

// Part boundaries fall on multiples of this many rows, columns or inner
// indices, so that each part keeps whole register tiles of the kernel.
constexpr std::size_t kGrain = 16;
// Several parts per thread: when the other core is busy, the thread that
// still runs takes over the parts its neighbour has not reached, instead of
// waiting for it (docs/numerics.md).
constexpr std::size_t kPartsPerThread = 4;
// No part below this many multiply-adds: each part repacks the operand it
// shares with the others.
constexpr double kPartWork = static_cast<double>(std::size_t{1} << 21);
constexpr int kMaxThreads = 64;

int blas_int(std::size_t n) {
  if (n > static_cast<std::size_t>(INT_MAX)) throw_capacity_overflow();
  return static_cast<int>(n);
}

CBLAS_TRANSPOSE flag(Transpose t) { return t == Transpose::yes ? CblasTrans : CblasNoTrans; }

std::size_t ceil_div(std::size_t a, std::size_t b) { return (a + b - 1) / b; }

// The inner split's partial sums of the calling thread's helpers, kept for
// the next product of the same thread.
thread_local FloatArray helper_sums;

// Shape of `a` as the left or right operand of a product: (rows, cols), or
// (cols, rows) when transposed.
struct ProductShape {
  std::size_t rows;
  std::size_t cols;
};

ProductShape operand_shape(const Matrix& a, Transpose t) noexcept {
  return t == Transpose::yes ? ProductShape{a.cols, a.rows} : ProductShape{a.rows, a.cols};
}

}  // namespace

void check_product(const Matrix& a, Transpose ta, const Matrix& b, Transpose tb) {
  const ProductShape left = operand_shape(a, ta);
  const ProductShape right = operand_shape(b, tb);
  if (left.cols != right.rows) {
    throw_incompatible_product(left.rows, left.cols, right.rows, right.cols);
  }
}

namespace detail {

ProductPlan plan_product(std::size_t m, std::size_t n, std::size_t k, int threads) noexcept {
  ProductPlan plan;
  if (threads <= 1) return plan;
  // The inner split costs a sum of the threads' results (m x n each), but
  // no thread packs the whole of an operand, where a split of the rows has
  // every part pack all of op(b): it pays when the inner dimension dwarfs
  // the result, as in the weight gradients X^T . G, whose inner dimension is
  // the batch.
  plan.split = k >= 2 * std::max(m, n) ? Split::inner : m >= n ? Split::rows : Split::cols;
  const std::size_t extent = plan.split == Split::inner ? k : plan.split == Split::rows ? m : n;
  const double work = static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k);
  std::size_t parts = static_cast<std::size_t>(threads) * kPartsPerThread;
  if (work / kPartWork < static_cast<double>(parts)) {
    parts = static_cast<std::size_t>(work / kPartWork);
  }
  parts = std::clamp<std::size_t>(parts, 1, std::max<std::size_t>(1, extent / kGrain));
  plan.parts = parts;
  plan.threads = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(threads), parts));
  return plan;
}

int gemm_planned(Matrix& c, const Matrix& a, Transpose ta, const Matrix& b, Transpose tb,
                 const ProductPlan& plan) {
  check_product(a, ta, b, tb);
  const std::size_t m = operand_shape(a, ta).rows;
  const std::size_t k = operand_shape(a, ta).cols;
  const std::size_t n = operand_shape(b, tb).cols;
  c.reshape_for_overwrite(m, n);
  if (m == 0 || n == 0) return 0;
  if (k == 0) {
    // An empty sum: BLAS rejects leading dimensions of 0, and the result is
    // all zeros anyway.
    std::fill(c.data.begin(), c.data.end(), 0.0f);
    return 0;
  }
  // Every size BLAS will see, checked before any thread starts.
  const int lda = blas_int(a.cols), ldb = blas_int(b.cols), ldc = blas_int(n);
  (void)blas_int(m);
  (void)blas_int(k);

  const Split split = plan.split;
  const std::size_t extent = split == Split::inner ? k : split == Split::rows ? m : n;
  std::size_t step = ceil_div(extent, std::max<std::size_t>(plan.parts, 1));
  if (step > kGrain) step = ceil_div(step, kGrain) * kGrain;
  const std::size_t parts = ceil_div(extent, step);
  const int threads = static_cast<int>(std::clamp<std::size_t>(
      static_cast<std::size_t>(plan.threads), 1, std::min<std::size_t>(parts, kMaxThreads)));
  if (split == Split::inner && threads > 1) {
    const std::size_t needed = static_cast<std::size_t>(threads - 1) * m * n;
    if (helper_sums.size() < needed) resize_checked(helper_sums, needed);
  }
  float* const sums = helper_sums.data();
  std::array<bool, kMaxThreads> started{};  // inner split: the slot's sum holds a part

  // Offsets of a part that starts at row, column or inner index `at`: the
  // operands stay in place, transposed or not, and only their start moves.
  const float* const a0 = a.data.data();
  const float* const b0 = b.data.data();
  float* const c0 = c.data.data();
  const auto part = [&](std::size_t i, std::size_t slot) {
    const BlasCall call;  // a fork waits for it
    const std::size_t at = i * step;
    const int len = static_cast<int>(std::min(step, extent - at));
    switch (split) {
      case Split::rows:
        scipy_cblas_sgemm(CblasRowMajor, flag(ta), flag(tb), len, ldc, static_cast<int>(k), 1.0f,
                          ta == Transpose::no ? a0 + at * a.cols : a0 + at, lda, b0, ldb, 0.0f,
                          c0 + at * n, ldc);
        break;
      case Split::cols:
        scipy_cblas_sgemm(
            CblasRowMajor, flag(ta), flag(tb), static_cast<int>(m), len, static_cast<int>(k), 1.0f,
            a0, lda, tb == Transpose::no ? b0 + at : b0 + at * b.cols, ldb, 0.0f, c0 + at, ldc);
        break;
      case Split::inner: {
        float* target = slot == 0 ? c0 : sums + (slot - 1) * m * n;
        scipy_cblas_sgemm(CblasRowMajor, flag(ta), flag(tb), static_cast<int>(m), ldc, len, 1.0f,
                          ta == Transpose::no ? a0 + at : a0 + at * a.cols, lda,
                          tb == Transpose::no ? b0 + at * b.cols : b0 + at, ldb,
                          started[slot] ? 1.0f : 0.0f, target, ldc);
        started[slot] = true;
        break;
      }
    }
  };

  SerialBlas serial;
  std::array<bool, kMaxThreads> ran{};
  const int ran_count = run_parts(parts, threads, part, ran.data());
  if (split == Split::inner) {
    // The threads' sums into c, the calling thread's already there.
    bool have = ran[0];
    for (int slot = 1; slot < threads; ++slot) {
      if (!ran[slot]) continue;
      const float* sum = sums + static_cast<std::size_t>(slot - 1) * m * n;
      if (have) {
        for (std::size_t j = 0; j < m * n; ++j) c0[j] += sum[j];
      } else {
        std::copy(sum, sum + m * n, c0);
        have = true;
      }
    }
  }
  return ran_count;
}

}  // namespace detail

void gemm(Matrix& c, const Matrix& a, Transpose ta, const Matrix& b, Transpose tb) {
  check_product(a, ta, b, tb);
  const std::size_t m = operand_shape(a, ta).rows;
  const std::size_t k = operand_shape(a, ta).cols;
  const std::size_t n = operand_shape(b, tb).cols;
  // Opened here so that the thread count is read before OpenBLAS's is
  // lowered; gemm_planned's own scope nests inside it.
  SerialBlas serial;
  int threads = 1;
  // A double: m x n x k may exceed 64 bits before the size checks.
  if (static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k) >=
      static_cast<double>(kThreadedWork)) {
    threads = serial.threads();
  }
  detail::gemm_planned(c, a, ta, b, tb, detail::plan_product(m, n, k, threads));
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

const char* blas_core_name() noexcept { return scipy_openblas_get_corename(); }

}  // namespace kemb::tensor
