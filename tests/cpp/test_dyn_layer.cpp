// Layer::init: dense weights and biases, dropout rate inversion, other types
// untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "dyn_layer.hpp"
#include "random/thread_rng.hpp"

namespace kemb {

using tensor::Matrix;
using tensor::Vector;

namespace {

Layer dense(std::uint64_t n_inputs, std::uint64_t n_neurons) {
  Layer layer;
  layer.layer_type = "dense";
  layer.n_inputs = n_inputs;
  layer.n_neurons = n_neurons;
  return layer;
}

TEST(dyn_layer, dense_init_shapes_and_zero_biases) {
  Layer layer = dense(3, 4);
  layer.dweights = Matrix(1, 1);
  layer.weight_cache = Matrix(2, 2);
  layer.weight_regularizer_l2 = 0.5f;
  const Layer before = layer;
  layer.init();
  EXPECT_EQ(layer.weights.rows, 3u);
  EXPECT_EQ(layer.weights.cols, 4u);
  EXPECT_EQ(layer.biases, Vector(4));
  bool negative = false;
  bool positive = false;
  for (float w : layer.weights.data) {
    EXPECT_LT(std::fabs(w), 0.06f);
    negative |= w < 0.0f;
    positive |= w > 0.0f;
  }
  EXPECT_TRUE(negative && positive);
  // Everything but the weights and biases survives.
  Layer rest = layer;
  rest.weights = before.weights;
  rest.biases = before.biases;
  EXPECT_EQ(rest, before);
}

TEST(dyn_layer, dense_init_draws_scaled_standard_normals) {
  Layer layer = dense(400, 500);
  layer.init();
  double sum = 0.0;
  double squares = 0.0;
  const double n = static_cast<double>(layer.weights.size());
  for (float w : layer.weights.data) {
    sum += w;
    squares += static_cast<double>(w) * w;
  }
  const double mean = sum / n;
  const double sd = std::sqrt(squares / n - mean * mean);
  // 200000 draws: the mean's standard error is 0.01 / sqrt(n) ~ 2.2e-5 and
  // the deviation's ~ 1.6e-5; the bounds are about six of those.
  EXPECT_LT(std::fabs(mean), 1.5e-4);
  EXPECT_NEAR(sd, 0.01, 1e-4);
  // Tails of a normal: about 0.27% beyond three deviations.
  std::size_t beyond = 0;
  for (float w : layer.weights.data) beyond += std::fabs(w) > 0.03f;
  EXPECT_NEAR(static_cast<double>(beyond) / n, 0.0027, 0.0008);
}

TEST(dyn_layer, two_inits_give_different_weights) {
  Layer layer = dense(3, 4);
  layer.init();
  const Matrix first = layer.weights;
  layer.init();
  EXPECT_NE(layer.weights, first);
}

TEST(dyn_layer, zero_sizes) {
  Layer no_inputs = dense(0, 5);
  no_inputs.init();
  EXPECT_EQ(no_inputs.weights.rows, 0u);
  EXPECT_EQ(no_inputs.weights.cols, 5u);
  EXPECT_EQ(no_inputs.biases, Vector(5));

  Layer no_neurons = dense(4, 0);
  no_neurons.init();
  EXPECT_EQ(no_neurons.weights.rows, 4u);
  EXPECT_EQ(no_neurons.weights.cols, 0u);
  EXPECT_TRUE(no_neurons.biases.empty());
}

TEST(dyn_layer, dropout_rate_becomes_keep_probability) {
  Layer layer;
  layer.layer_type = "dropout";
  layer.dropout_rate = 0.2f;
  layer.init();
  EXPECT_EQ(layer.dropout_rate, 1.0f - 0.2f);
  layer.init();
  EXPECT_NEAR(layer.dropout_rate, 0.2f, 1e-7f);
  EXPECT_TRUE(layer.weights.empty());

  // Odd rates pass without error; only a training pass reports them.
  for (float rate : {-0.5f, 1.5f, std::numeric_limits<float>::quiet_NaN()}) {
    Layer odd;
    odd.layer_type = "dropout";
    odd.dropout_rate = rate;
    EXPECT_NO_THROW(odd.init());
  }
}

class untouched_types : public ::testing::TestWithParam<const char*> {};

TEST_P(untouched_types, init_changes_nothing) {
  Layer layer = dense(2, 2);
  layer.layer_type = GetParam();
  layer.dropout_rate = 0.3f;
  const Layer before = layer;
  layer.init();
  EXPECT_EQ(layer, before);
}

INSTANTIATE_TEST_SUITE_P(dyn_layer, untouched_types,
                         ::testing::Values("", "Dense", "dense ", "DROPOUT", "conv"));

TEST(dyn_layer, seeded_runs_repeat) {
  ::setenv("KEMB_SEED", "12345", 1);
  random::reset_thread_rng();
  Layer a = dense(5, 7);
  a.init();
  random::reset_thread_rng();
  Layer b = dense(5, 7);
  b.init();
  ::unsetenv("KEMB_SEED");
  random::reset_thread_rng();
  EXPECT_EQ(a.weights, b.weights);
}

}  // namespace
}  // namespace kemb
