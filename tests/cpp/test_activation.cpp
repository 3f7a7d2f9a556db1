// relu, linear and softmax: the worked examples, the rules for -0.0, NaN and
// infinities, and bit-for-bit agreement with naive loops on random data.
#include <gtest/gtest.h>

#include <math.h>

#include "activation/linear.hpp"
#include "activation/relu.hpp"
#include "activation/softmax.hpp"
#include "reference.hpp"
#include "values.hpp"

namespace kemb {

using tensor::Matrix;
using tensor::Vector;

namespace {

Matrix with_specials(std::size_t rows, std::size_t cols, unsigned seed) {
  Matrix m = ref::random_matrix(rows, cols, seed, 50.0f);
  const float specials[] = {0.0f, -0.0f, ref::nan(), -ref::inf(), ref::inf(), 1e-40f, -1e-40f};
  for (std::size_t k = 0; k < m.size(); k += 13) m.data[k] = specials[(k / 13) % 7];
  return m;
}

Matrix reference_softmax(const Matrix& z) {
  Matrix out = z;
  std::vector<float> maxima(z.rows), sums(z.rows, 0.0f);
  for (std::size_t i = 0; i < z.rows; ++i) {
    maxima[i] = z(i, 0);
    for (std::size_t j = 1; j < z.cols; ++j) {
      if (z(i, j) > maxima[i]) maxima[i] = z(i, j);
    }
  }
  for (std::size_t i = 0; i < z.rows; ++i) {
    for (std::size_t j = 0; j < z.cols; ++j) out(i, j) = expf(z(i, j) - maxima[i]);
  }
  for (std::size_t i = 0; i < z.rows; ++i) {
    for (std::size_t j = 0; j < z.cols; ++j) sums[i] += out(i, j);
  }
  for (std::size_t i = 0; i < z.rows; ++i) {
    for (std::size_t j = 0; j < z.cols; ++j) out(i, j) = out(i, j) / sums[i];
  }
  return out;
}

TEST(relu, forward_examples_and_signed_zero) {
  EXPECT_TRUE(ref::same_bits(relu::forward(Matrix(1, 3, {-1, 0, 2.5f})), Matrix(1, 3, {0, 0, 2.5f})));
  EXPECT_EQ(ref::bits(relu::forward(Matrix(1, 1, {-0.0f})).data[0]), 0x80000000u);
  EXPECT_EQ(ref::bits(relu::forward(Matrix(1, 1, {-5.0f})).data[0]), 0x00000000u);
  EXPECT_TRUE(std::isnan(relu::forward(Matrix(1, 1, {ref::nan()})).data[0]));
}

TEST(relu, forward_and_backward_match_reference) {
  for (auto [rows, cols] : {std::pair{0, 3}, {3, 0}, {17, 33}}) {
    const Matrix z = with_specials(rows, cols, 7);
    const Matrix d = with_specials(rows, cols, 8);
    Matrix expected_forward = z;
    Matrix expected_backward = d;
    for (std::size_t k = 0; k < z.size(); ++k) {
      if (z.data[k] < 0.0f) expected_forward.data[k] = 0.0f;
      if (z.data[k] <= 0.0f) expected_backward.data[k] = 0.0f;
    }
    EXPECT_TRUE(ref::same_bits(relu::forward(z), expected_forward));
    EXPECT_TRUE(ref::same_bits(relu::backward(z, d), expected_backward));
    Matrix in_place = z;
    relu::forward(in_place, in_place);
    EXPECT_TRUE(ref::same_bits(in_place, expected_forward));
  }
}

TEST(relu, backward_example_and_pre_activation_bounds) {
  EXPECT_EQ(relu::backward(Matrix(1, 3, {-1, 0, 3}), Matrix(1, 3, {5, 5, 5})),
            Matrix(1, 3, {0, 0, 5}));
  // NaN pre-activation passes the gradient.
  EXPECT_EQ(relu::backward(Matrix(1, 1, {ref::nan()}), Matrix(1, 1, {4})), Matrix(1, 1, {4}));
  // Larger pre-activations are read at the gradient's (i, j), not by flat index.
  EXPECT_EQ(relu::backward(Matrix(2, 3, {1, -1, 9, -1, 1, 9}), Matrix(2, 2, {5, 6, 7, 8})),
            Matrix(2, 2, {5, 0, 0, 8}));
  for (const Matrix& small : {Matrix(1, 2), Matrix(2, 1)}) {
    EXPECT_EQ(ref::error_of([&] { relu::backward(small, Matrix(2, 2)); }), ref::kIndexError);
  }
}

TEST(softmax, worked_examples) {
  EXPECT_EQ(softmax::forward(Matrix(1, 2, {0, 0})), Matrix(1, 2, {0.5f, 0.5f}));
  EXPECT_EQ(softmax::forward(Matrix(1, 2, {1000, 1000})), Matrix(1, 2, {0.5f, 0.5f}));
  const Matrix p = softmax::forward(Matrix(1, 3, {-ref::inf(), 0, 0}));
  EXPECT_EQ(p, Matrix(1, 3, {0.0f, 0.5f, 0.5f}));
  for (const Matrix& poisoned : {Matrix(1, 3, {1, ref::nan(), 2}), Matrix(1, 2, {ref::nan(), 2}),
                                 Matrix(1, 2, {ref::inf(), 2})}) {
    for (float x : softmax::forward(poisoned).data) EXPECT_TRUE(std::isnan(x));
  }
}

TEST(softmax, matches_reference_and_handles_empty_shapes) {
  const Matrix z = with_specials(41, 10, 9);
  EXPECT_TRUE(ref::same_bits(softmax::forward(z), reference_softmax(z)));
  Matrix in_place = z;
  softmax::forward(in_place, in_place);
  EXPECT_TRUE(ref::same_bits(in_place, reference_softmax(z)));

  const Matrix none = softmax::forward(Matrix(0, 3));
  EXPECT_EQ(none.rows, 0u);
  EXPECT_EQ(none.cols, 3u);
  EXPECT_EQ(ref::error_of([] { softmax::forward(Matrix(2, 0)); }), ref::kMissingValue);
}

TEST(linear, predict_takes_the_first_column) {
  EXPECT_EQ(linear::predict(Matrix(3, 2, {1, 9, 2, 9, 3, 9})), Vector({1, 2, 3}));
  EXPECT_EQ(linear::predict(Matrix(0, 0)), Vector());
  EXPECT_EQ(linear::predict(Matrix(0, 4)), Vector());
  EXPECT_EQ(ref::error_of([] { linear::predict(Matrix(2, 0)); }), ref::kIndexError);
}

}  // namespace
}  // namespace kemb
