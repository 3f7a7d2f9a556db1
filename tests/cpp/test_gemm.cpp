// Matrix products, column sums and the shared element-wise helpers:
// products against a double-precision reference with a relative tolerance
// (their summation order is free), every way a large product is split over
// threads, the pool after a fork, shape failures by exact message.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>

#include "reference.hpp"
#include "values.hpp"
#include "tensor/elementwise.hpp"
#include "tensor/gemm.hpp"
#include "tensor/pool.hpp"

namespace kemb {

using tensor::Matrix;
using tensor::Vector;

namespace {

using tensor::Transpose;

// (m, k, n): the product's shape; 0 in any place is the degenerate case
// BLAS itself refuses.
class GemmShapes : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(GemmShapes, all_transposes_match_reference) {
  const auto [m, k, n] = GetParam();
  for (bool ta : {false, true}) {
    for (bool tb : {false, true}) {
      const Matrix a = ta ? ref::random_matrix(k, m, 1) : ref::random_matrix(m, k, 1);
      const Matrix b = tb ? ref::random_matrix(n, k, 2) : ref::random_matrix(k, n, 2);
      Matrix c(3, 3);  // wrong shape and stale values: the call must replace both
      tensor::gemm(c, a, Transpose(ta), b, Transpose(tb));
      EXPECT_TRUE(ref::close(c, ref::product(a, ta, b, tb))) << "ta=" << ta << " tb=" << tb;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(gemm, GemmShapes,
                         ::testing::Values(std::make_tuple(1, 1, 1), std::make_tuple(7, 5, 3),
                                           std::make_tuple(64, 33, 17),
                                           std::make_tuple(300, 200, 40), std::make_tuple(0, 4, 3),
                                           std::make_tuple(4, 0, 3), std::make_tuple(4, 3, 0),
                                           std::make_tuple(0, 0, 0)));

// (split, threads, parts): every way gemm cuts a large product, run for real
// on the pool, including more parts than the split dimension has indices
// and parts that are not whole multiples of the tile grain.
class GemmSplits : public ::testing::TestWithParam<std::tuple<tensor::Split, int, std::size_t>> {};

TEST_P(GemmSplits, every_part_layout_matches_reference) {
  const auto [split, threads, parts] = GetParam();
  const tensor::ProductPlan plan{.split = split, .parts = parts, .threads = threads};
  for (auto [m, k, n] : {std::tuple{1, 1, 1}, {70, 37, 5}, {5, 300, 3}, {33, 9, 130}}) {
    for (bool ta : {false, true}) {
      for (bool tb : {false, true}) {
        const Matrix a = ta ? ref::random_matrix(k, m, 1) : ref::random_matrix(m, k, 1);
        const Matrix b = tb ? ref::random_matrix(n, k, 2) : ref::random_matrix(k, n, 2);
        Matrix c(2, 2, {9, 9, 9, 9});  // stale: an inner split must not add to it
        const int ran = tensor::gemm_planned(c, a, Transpose(ta), b, Transpose(tb), plan);
        EXPECT_TRUE(ref::close(c, ref::product(a, ta, b, tb)))
            << m << "x" << k << "x" << n << " ta=" << ta << " tb=" << tb;
        EXPECT_GE(ran, 1);
        EXPECT_LE(ran, threads);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    gemm, GemmSplits,
    ::testing::Combine(::testing::Values(tensor::Split::rows, tensor::Split::cols,
                                         tensor::Split::inner),
                       ::testing::Values(1, 3),
                       ::testing::Values(std::size_t{2}, std::size_t{5}, std::size_t{400})));

TEST(gemm, child_of_a_fork_splits_products_on_a_pool_of_its_own) {
  const Matrix a = ref::random_matrix(200, 64, 1);
  const Matrix b = ref::random_matrix(64, 48, 2);
  const tensor::ProductPlan plan{.split = tensor::Split::rows, .parts = 8, .threads = 2};
  Matrix c;
  tensor::gemm_planned(c, a, Transpose::no, b, Transpose::no, plan);
  ASSERT_GE(tensor::pool_workers(), 1);
  const pid_t child = fork();
  if (child == 0) {
    // The parent's worker does not exist here: the product must not wait
    // for it, and a worker of the child's own runs the next one.
    const bool forgot = tensor::pool_workers() == 0;
    tensor::gemm_planned(c, a, Transpose::no, b, Transpose::no, plan);
    const bool right = ref::close(c, ref::product(a, false, b, false));
    _exit(forgot && right && tensor::pool_workers() == 1 ? 0 : 1);
  }
  int status = 0;
  for (int waited_ms = 0; waitpid(child, &status, WNOHANG) == 0; waited_ms += 10) {
    if (waited_ms > 60000) {
      kill(child, SIGKILL);
      FAIL() << "the child hung";
    }
    usleep(10000);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(gemm, empty_inner_dimension_gives_zeros) {
  Matrix c(2, 2, {5, 5, 5, 5});
  tensor::gemm(c, Matrix(2, 0), Transpose::no, Matrix(0, 2), Transpose::no);
  EXPECT_EQ(c, Matrix(2, 2));
}

TEST(gemm, incompatible_shapes_name_the_operands_as_multiplied) {
  struct Case {
    std::size_t ar, ac;
    Transpose ta;
    std::size_t br, bc;
    Transpose tb;
    const char* message;
  };
  const Case cases[] = {
      {2, 3, Transpose::no, 4, 5, Transpose::no,
       "ndarray: inputs 2 \u00d7 3 and 4 \u00d7 5 are not compatible for matrix multiplication"},
      // X^T . G of the weight gradient: X is 6 x 3, so the left operand is 3 x 6.
      {6, 3, Transpose::yes, 5, 2, Transpose::no,
       "ndarray: inputs 3 \u00d7 6 and 5 \u00d7 2 are not compatible for matrix multiplication"},
      // G . W^T of the input gradient: W is 4 x 7, so the right operand is 7 x 4.
      {5, 2, Transpose::no, 4, 7, Transpose::yes,
       "ndarray: inputs 5 \u00d7 2 and 7 \u00d7 4 are not compatible for matrix multiplication"},
      {0, 0, Transpose::no, 3, 1, Transpose::no,
       "ndarray: inputs 0 \u00d7 0 and 3 \u00d7 1 are not compatible for matrix multiplication"},
  };
  for (const Case& c : cases) {
    Matrix out;
    EXPECT_EQ(ref::error_of([&] {
                tensor::gemm(out, Matrix(c.ar, c.ac), c.ta, Matrix(c.br, c.bc), c.tb);
              }),
              c.message);
  }
}

TEST(gemm, reuses_the_output_storage_for_the_same_shape) {
  const Matrix a = ref::random_matrix(20, 10, 3);
  const Matrix b = ref::random_matrix(10, 30, 4);
  Matrix c;
  tensor::gemm(c, a, Transpose::no, b, Transpose::no);
  const float* storage = c.data.data();
  tensor::gemm(c, a, Transpose::no, b, Transpose::no);
  EXPECT_EQ(c.data.data(), storage);
}

TEST(column_sums, match_reference_including_empty_shapes) {
  for (auto [rows, cols] : {std::pair{0, 4}, {5, 0}, {1, 3}, {257, 19}}) {
    const Matrix m = ref::random_matrix(rows, cols, 5);
    Vector sums(2);
    tensor::column_sums(sums, m);
    ASSERT_EQ(sums.size(), static_cast<std::size_t>(cols));
    for (int j = 0; j < cols; ++j) {
      double s = 0.0;
      for (int i = 0; i < rows; ++i) s += m(i, j);
      EXPECT_NEAR(sums[j], s, 1e-5 * (1.0 + std::fabs(s)));
    }
  }
}

TEST(elementwise, multiply_reads_a_larger_factor_by_position) {
  const Matrix a(2, 2, {1, 2, 3, 4});
  const Matrix wide(3, 3, {10, 20, 99, 30, 40, 99, 99, 99, 99});
  Matrix out;
  tensor::multiply(out, a, wide);
  EXPECT_EQ(out, Matrix(2, 2, {10, 40, 90, 160}));
  // In place over the first factor.
  Matrix in_place = a;
  tensor::multiply(in_place, in_place, wide);
  EXPECT_EQ(in_place, out);
  for (const Matrix& small : {Matrix(1, 2), Matrix(2, 1)}) {
    EXPECT_EQ(ref::error_of([&] { tensor::multiply(out, a, small); }), ref::kIndexError);
  }
  // Nothing to read, nothing to fail.
  tensor::multiply(out, Matrix(0, 5), Matrix());
  EXPECT_EQ(out.rows, 0u);
  EXPECT_EQ(out.cols, 5u);
}

TEST(elementwise, sums_run_left_to_right_in_float32) {
  // 1e8 + 1 - 1e8 ... : a pairwise or double sum would keep the ones.
  const std::vector<float> v = {1e8f, 1.0f, 1.0f, 1.0f, -1e8f};
  EXPECT_EQ(tensor::sum_abs(v.data(), v.size()), 2e8f);
  const std::vector<float> w = {-3.0f, 0.5f};
  EXPECT_EQ(tensor::sum_squares(w.data(), w.size()), 9.25f);
}

}  // namespace
}  // namespace kemb
