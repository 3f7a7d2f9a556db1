// Cross-entropy and mean squared error: worked examples, the clip bounds,
// the operation order of the gradients, and every failure message.
#include <gtest/gtest.h>

#include <math.h>

#include "loss/categorical_crossentropy.hpp"
#include "loss/mean_squared_error.hpp"
#include "reference.hpp"
#include "values.hpp"

namespace kemb {

using tensor::Labels;
using tensor::Matrix;
using tensor::Vector;

namespace {

const Matrix kProbabilities(2, 3, {0.7f, 0.2f, 0.1f, 0.1f, 0.5f, 0.4f});

// Clip the whole copy, then pick, log, negate, sum left to right, divide.
float reference_crossentropy(const Matrix& output, const Labels& labels) {
  Matrix clipped = output;
  for (float& x : clipped.data) {
    if (x < std::bit_cast<float>(0x33D6BF95u)) {
      x = std::bit_cast<float>(0x33D6BF95u);
    } else if (x > std::bit_cast<float>(0x3F7FFFFEu)) {
      x = std::bit_cast<float>(0x3F7FFFFEu);
    }
  }
  float total = 0.0f;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const float l = -logf(clipped(i, labels[i]));
    total = total + l;
  }
  return total / static_cast<float>(labels.size());
}

TEST(categorical_crossentropy, worked_example_and_clip_bounds) {
  const float loss = categorical_crossentropy::calculate(kProbabilities, {0, 1});
  EXPECT_EQ(ref::bits(loss), ref::bits((-logf(0.7f) + -logf(0.5f)) / 2.0f));
  EXPECT_NEAR(loss, 0.5249f, 1e-4f);
  // 0 and 1 are clipped to 1e-7 and 1 - 1e-7 (as float32 bit patterns).
  EXPECT_EQ(ref::bits(categorical_crossentropy::calculate(Matrix(1, 2, {0, 1}), {0})),
            ref::bits(-logf(std::bit_cast<float>(0x33D6BF95u))));
  EXPECT_EQ(ref::bits(categorical_crossentropy::calculate(Matrix(1, 2, {0, 1}), {1})),
            ref::bits(-logf(std::bit_cast<float>(0x3F7FFFFEu))));
  EXPECT_TRUE(std::isnan(categorical_crossentropy::calculate(Matrix(1, 1, {ref::nan()}), {0})));
  EXPECT_TRUE(std::isnan(categorical_crossentropy::calculate(kProbabilities, {})));
}

TEST(categorical_crossentropy, matches_reference_and_divides_by_the_label_count) {
  Matrix p = ref::random_matrix(50, 7, 11);
  for (float& x : p.data) x = std::fabs(x);
  p.data[3] = 0.0f;
  p.data[10] = 1.0f;
  Labels labels(37);
  for (std::size_t i = 0; i < labels.size(); ++i) labels[i] = static_cast<int>((i * 5) % 7);
  labels[0] = 3;  // the zero
  labels[1] = 3;  // the one
  EXPECT_EQ(ref::bits(categorical_crossentropy::calculate(p, labels)),
            ref::bits(reference_crossentropy(p, labels)));
}

TEST(categorical_crossentropy, backward_worked_example_and_reference) {
  EXPECT_TRUE(ref::same_bits(
      categorical_crossentropy::backward(kProbabilities, {0, 1}),
      Matrix(2, 3,
             {(0.7f - 1.0f) / 2.0f, 0.2f / 2.0f, 0.1f / 2.0f, 0.1f / 2.0f, (0.5f - 1.0f) / 2.0f,
              0.4f / 2.0f})));
  EXPECT_TRUE(ref::close(categorical_crossentropy::backward(kProbabilities, {0, 1}),
                         Matrix(2, 3, {-0.15f, 0.1f, 0.05f, 0.05f, -0.25f, 0.2f})));

  // Fewer labels than rows: the unlabelled rows are only divided, by the row
  // count. In place over the output gives the same bits.
  const Matrix p = ref::random_matrix(9, 4, 12);
  const Labels labels = {3, 0, 1, 1, 2};
  Matrix expected = p;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    expected(i, labels[i]) = expected(i, labels[i]) + -1.0f;
  }
  for (float& x : expected.data) x = x / 9.0f;
  EXPECT_TRUE(ref::same_bits(categorical_crossentropy::backward(p, labels), expected));
  Matrix in_place = p;
  categorical_crossentropy::backward(in_place, in_place, labels);
  EXPECT_TRUE(ref::same_bits(in_place, expected));
}

TEST(categorical_crossentropy, bad_labels_fail_in_both_functions) {
  const Labels cases[] = {{0, -1}, {0, 3}, {0, 1, 2}};  // negative, = columns, more than rows
  for (const Labels& labels : cases) {
    EXPECT_EQ(ref::error_of([&] { categorical_crossentropy::calculate(kProbabilities, labels); }),
              ref::kIndexError);
    Matrix d;
    EXPECT_EQ(
        ref::error_of([&] { categorical_crossentropy::backward(d, kProbabilities, labels); }),
        ref::kIndexError);
  }
}

TEST(mean_squared_error, worked_examples) {
  EXPECT_EQ(mean_squared_error::calculate(ref::vec({1, 2}), ref::vec({1, 4})), 2.0f);
  EXPECT_EQ(mean_squared_error::backward(Matrix(2, 1, {1, 2}), ref::vec({1, 4})),
            Matrix(2, 1, {0, -2}));
  EXPECT_EQ(mean_squared_error::backward(Matrix(1, 2, {1, 3}), ref::vec({2})),
            Matrix(1, 2, {-1, 1}));
}

TEST(mean_squared_error, gradient_divides_by_columns_then_rows) {
  // Two divisions, not one by C x N: with 3 columns and 7 rows the bits differ
  // for some elements, which this comparison would catch.
  const Matrix out = ref::random_matrix(7, 3, 13, 10.0f);
  const Vector targets = ref::random_vector(9, 14, 10.0f);  // extra targets are ignored
  Matrix expected = out;
  for (std::size_t i = 0; i < 7; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      float d = targets[i] - out(i, j);
      d = d * -2.0f;
      d = d / 3.0f;
      d = d / 7.0f;
      expected(i, j) = d;
    }
  }
  EXPECT_TRUE(ref::same_bits(mean_squared_error::backward(out, targets), expected));
  Matrix in_place = out;
  mean_squared_error::backward(in_place, in_place, targets);
  EXPECT_TRUE(ref::same_bits(in_place, expected));
}

TEST(mean_squared_error, loss_matches_reference) {
  const Vector predictions = ref::random_vector(33, 15, 5.0f);
  const Vector targets = ref::random_vector(40, 16, 5.0f);
  float total = 0.0f;
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    const float d = targets[i] - predictions[i];
    total = total + d * d;
  }
  EXPECT_EQ(ref::bits(mean_squared_error::calculate(predictions, targets)),
            ref::bits(total / 33.0f));
}

TEST(mean_squared_error, failures) {
  EXPECT_EQ(ref::error_of([] { mean_squared_error::calculate(ref::vec({1, 2}), ref::vec({1})); }),
            ref::kIndexError);
  EXPECT_EQ(ref::error_of([] { mean_squared_error::calculate(Vector(), ref::vec({1})); }),
            ref::kMissingValue);
  EXPECT_EQ(ref::error_of([] { mean_squared_error::backward(Matrix(2, 1), ref::vec({1})); }),
            ref::kIndexError);
}

}  // namespace
}  // namespace kemb
