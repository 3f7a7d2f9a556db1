// relu, softmax and the linear prediction bit for bit against naive loops
// on data laced with special values, in place too, and their failures.
#include <math.h>

#include "activation/linear.hpp"
#include "activation/relu.hpp"
#include "activation/softmax.hpp"
#include "support.hpp"

namespace kemb::test {
namespace {

Matrix with_specials(std::size_t rows, std::size_t cols, unsigned seed) {
  Matrix m = random_matrix(rows, cols, seed, 50.0f);
  const float specials[] = {0.0f, -0.0f, nan(), -inf(), inf(), 1e-40f, -1e-40f};
  for (std::size_t k = 0; k < m.size(); k += 13) m.data[k] = specials[(k / 13) % 7];
  return m;
}

Matrix relu_backward(const Matrix& activation_inputs, Matrix dvalues) {
  relu::backward_in_place(dvalues, activation_inputs);
  return dvalues;
}

TEST(relu, forward_and_backward_match_reference) {
  for (auto [rows, cols] : {std::pair{0, 3}, {3, 0}, {17, 33}}) {
    const Matrix z = with_specials(rows, cols, 7), d = with_specials(rows, cols, 8);
    Matrix expected_forward = z, expected_backward = d;
    for (std::size_t k = 0; k < z.size(); ++k) {
      if (z.data[k] < 0.0f) expected_forward.data[k] = 0.0f;  // -0.0 and NaN stay
      if (z.data[k] <= 0.0f) expected_backward.data[k] = 0.0f;
    }
    EXPECT_TRUE(same_bits(out_of(relu::forward, z), expected_forward));
    EXPECT_TRUE(same_bits(relu_backward(z, d), expected_backward));
    Matrix in_place = z;
    relu::forward(in_place, in_place);
    EXPECT_TRUE(same_bits(in_place, expected_forward));
  }
}

TEST(relu, backward_reads_larger_pre_activations_by_position) {
  EXPECT_EQ(relu_backward(Matrix(2, 3, {1, -1, 9, -1, 1, 9}), Matrix(2, 2, {5, 6, 7, 8})),
            Matrix(2, 2, {5, 0, 0, 8}));
  for (const Matrix& small : {Matrix(1, 2), Matrix(2, 1)}) {
    EXPECT_EQ(message_of([&] { relu_backward(small, Matrix(2, 2)); }), kIndexError);
  }
}

TEST(softmax, matches_reference_in_place_too) {
  const Matrix z = with_specials(41, 10, 9);
  Matrix expected = z;
  for (std::size_t i = 0; i < z.rows; ++i) {
    float max = z(i, 0), sum = 0.0f;
    for (std::size_t j = 1; j < z.cols; ++j) max = z(i, j) > max ? z(i, j) : max;
    for (std::size_t j = 0; j < z.cols; ++j) expected(i, j) = expf(z(i, j) - max);
    for (std::size_t j = 0; j < z.cols; ++j) sum += expected(i, j);
    for (std::size_t j = 0; j < z.cols; ++j) expected(i, j) = expected(i, j) / sum;
  }
  EXPECT_TRUE(same_bits(out_of(softmax::forward, z), expected));
  Matrix in_place = z;
  softmax::forward(in_place, in_place);
  EXPECT_TRUE(same_bits(in_place, expected));

  EXPECT_TRUE(same_bits(out_of(softmax::forward, Matrix(0, 3)), Matrix(0, 3)));
  EXPECT_EQ(message_of([] { out_of(softmax::forward, Matrix(2, 0)); }), kMissingValue);
}

TEST(linear, predict_takes_the_first_column) {
  EXPECT_EQ(out_of(linear::predict, Matrix(3, 2, {1, 9, 2, 9, 3, 9})), vec({1, 2, 3}));
  EXPECT_EQ(out_of(linear::predict, Matrix(0, 0)), Vector());
  EXPECT_EQ(out_of(linear::predict, Matrix(0, 4)), Vector());
  EXPECT_EQ(message_of([] { out_of(linear::predict, Matrix(2, 0)); }), kIndexError);
}

}  // namespace
}  // namespace kemb::test
