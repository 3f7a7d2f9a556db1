// Activations, losses and accuracies bit for bit against naive float32 loops
// in the stated order (special values, in place too), and every failure.
#include <math.h>

#include "accuracy/categorical.hpp"
#include "accuracy/linear.hpp"
#include "activation/linear.hpp"
#include "activation/relu.hpp"
#include "activation/softmax.hpp"
#include "loss/categorical_crossentropy.hpp"
#include "loss/mean_squared_error.hpp"
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

namespace cce = categorical_crossentropy;
namespace mse = mean_squared_error;

const Matrix kProbabilities(2, 3, {0.7f, 0.2f, 0.1f, 0.1f, 0.5f, 0.4f});

// Pick each labelled probability, clip it to [1e-7, 1 - 1e-7] (as float32
// bit patterns), log, negate, sum left to right, divide by the label count.
float reference_cce(const Matrix& output, const Labels& labels) {
  const float low = std::bit_cast<float>(0x33D6BF95u), high = std::bit_cast<float>(0x3F7FFFFEu);
  float total = 0.0f;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    float p = output(i, labels[i]);
    p = p < low ? low : (p > high ? high : p);
    total = total + -logf(p);
  }
  return total / static_cast<float>(labels.size());
}

// Subtract 1 at each label, then divide everything by the row count.
Matrix reference_cce_backward(Matrix p, const Labels& labels) {
  for (std::size_t i = 0; i < labels.size(); ++i) p(i, labels[i]) = p(i, labels[i]) + -1.0f;
  for (float& x : p.data) x = x / static_cast<float>(p.rows);
  return p;
}

TEST(categorical_crossentropy, matches_reference) {
  Matrix p = random_matrix(50, 7, 11);
  for (float& x : p.data) x = std::fabs(x);
  p(0, 3) = 0.0f;     // clipped low
  p(1, 3) = 1.0f;     // clipped high
  Labels labels(37);  // fewer than rows: divides by the label count
  for (std::size_t i = 0; i < labels.size(); ++i) labels[i] = static_cast<int>((i * 5) % 7);
  labels[0] = labels[1] = 3;
  const struct {
    Matrix output;
    Labels labels;
  } cases[] = {
      {kProbabilities, {0, 1}}, {p, labels}, {Matrix(1, 1, {nan()}), {0}}, {kProbabilities, {}}};
  for (const auto& c : cases) {
    EXPECT_PRED2(same_value, cce::calculate(c.output, c.labels), reference_cce(c.output, c.labels));
  }
}

TEST(categorical_crossentropy, backward_matches_reference_in_place_too) {
  // Fewer labels than rows: the unlabelled rows are only divided.
  for (const auto& [p, labels] : {std::pair{kProbabilities, Labels{0, 1}},
                                  {random_matrix(9, 4, 12), Labels{3, 0, 1, 1, 2}}}) {
    const Matrix expected = reference_cce_backward(p, labels);
    EXPECT_TRUE(same_bits(out_of(cce::backward, p, labels), expected));
    Matrix in_place = p;
    cce::backward(in_place, in_place, labels);
    EXPECT_TRUE(same_bits(in_place, expected));
  }
}

TEST(categorical_crossentropy, bad_labels_fail_in_both_functions) {
  for (const Labels& labels : {Labels{0, -1}, Labels{0, 3}, Labels{0, 1, 2}}) {
    EXPECT_EQ(message_of([&] { cce::calculate(kProbabilities, labels); }), kIndexError);
    EXPECT_EQ(message_of([&] { out_of(cce::backward, kProbabilities, labels); }), kIndexError);
  }
}

TEST(mean_squared_error, matches_reference_in_place_too) {
  EXPECT_EQ(out_of(mse::backward, Matrix(2, 1, {1, 2}), vec({1, 4})), Matrix(2, 1, {0, -2}));
  EXPECT_EQ(out_of(mse::backward, Matrix(1, 2, {1, 3}), vec({2})), Matrix(1, 2, {-1, 1}));

  // Extra targets are ignored; the loss divides by the predictions.
  const Vector predictions = random_vector(33, 15, 5.0f), targets = random_vector(40, 16, 5.0f);
  float total = 0.0f;
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    const float d = targets[i] - predictions[i];
    total = total + d * d;
  }
  EXPECT_EQ(bits(mse::calculate(predictions, targets)), bits(total / 33.0f));

  // The gradient divides by the columns, then the rows: once by C x N differs in some bits here.
  const Matrix out = random_matrix(7, 3, 13, 10.0f);
  Matrix expected = out;
  for (std::size_t i = 0; i < 7; ++i) {
    for (std::size_t j = 0; j < 3; ++j)
      expected(i, j) = (targets[i] - out(i, j)) * -2.0f / 3.0f / 7.0f;
  }
  EXPECT_TRUE(same_bits(out_of(mse::backward, out, targets), expected));
  Matrix in_place = out;
  mse::backward(in_place, in_place, targets);
  EXPECT_TRUE(same_bits(in_place, expected));
}

TEST(mean_squared_error, failures) {
  EXPECT_EQ(message_of([] { mse::calculate(vec({1, 2}), vec({1})); }), kIndexError);
  EXPECT_EQ(message_of([] { mse::calculate(Vector(), vec({1})); }), kMissingValue);
  EXPECT_EQ(message_of([] { out_of(mse::backward, Matrix(2, 1), vec({1})); }), kIndexError);
}

TEST(accuracy, categorical_and_linear_divisors_tolerance_and_failures) {
  EXPECT_EQ(bits(accuracy::categorical({0, 2, 1}, {0, 1, 1})), bits(2.0f / 3.0f));
  EXPECT_EQ(accuracy::categorical({4}, {4, 9, 9}), 1.0f);  // extra labels are ignored
  EXPECT_TRUE(std::isnan(accuracy::categorical({}, {})));
  EXPECT_EQ(message_of([] {
              accuracy::categorical({0, 1, 2}, {0, 1});
            }),
            "index out of bounds: the len is 2 but the index is 2");

  // The tolerance is inclusive; the count is divided by the targets.
  // clang-format off
  const struct {
    Vector predictions, targets;
    float precision, expected;
  } cases[] = {
      {vec({1.0f, 2.5f}), vec({2.0f, 4.0f}), 1.0f, 0.5f},
      {vec({1, 2, 3}), vec({1.5f, 2.6f, 3.0f}), 0.5f, 2.0f / 3.0f},
      {vec({1, 2}), vec({1, 2, 9}), 1.0f, 2.0f / 3.0f},
      {vec({nan(), 1}), vec({1, 1}), 1.0f, 0.5f},
      {vec({1}), vec({1}), nan(), 0.0f},
      {Vector(), Vector(), 1.0f, nan()},
  };
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_PRED2(same_value, accuracy::linear(c.predictions, c.targets, c.precision), c.expected);
  }
  EXPECT_EQ(message_of([] { accuracy::linear(vec({1, 2}), vec({1}), 1.0f); }), kIndexError);
}

}  // namespace
}  // namespace kemb::test
