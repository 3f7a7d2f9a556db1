// Adam, TF-style Adam and SGD over several steps against literal references
// (full working copies, every read bounds-checked, steps in the stated
// order): state creation, decay interplay, layers without weights, state
// arrays whose shapes disagree, and the rule selection by opt_type.
#include <gtest/gtest.h>

#include <cmath>

#include "dyn_layer.hpp"
#include "optimizer/adam.hpp"
#include "optimizer/dyn_optimizer.hpp"
#include "optimizer/sgd.hpp"
#include "reference.hpp"
#include "values.hpp"

namespace kemb {

using tensor::Matrix;
using tensor::Vector;

namespace {

float reference_power(float b, std::int32_t t) {
  float r = (t % 2 == 1) ? b : 1.0f;
  float s = b;
  while (t >= 2) {
    s = s * s;
    if ((t / 2) % 2 == 1) r = r * s;
    t = t / 2;
  }
  return r;
}

Matrix map(const Matrix& m, float (*f)(float, float), float c) {
  Matrix out = m;
  for (float& x : out.data) x = f(x, c);
  return out;
}

// Adam exactly as the numbered steps read.
void reference_adam(const DynamicOptimizer& o, Layer& l) {
  const std::int32_t t = o.iterations + 1;
  if (l.weight_cache.rows == 0 && l.weight_cache.cols == 0) {
    l.weight_momentums = Matrix(l.weights.rows, l.weights.cols);
    l.weight_cache = Matrix(l.weights.rows, l.weights.cols);
    l.bias_momentums = Vector(l.biases.size());
    l.bias_cache = Vector(l.biases.size());
  }
  const float omb1 = 1.0f - o.beta_1;
  for (std::size_t i = 0; i < l.weight_momentums.rows; ++i)
    for (std::size_t j = 0; j < l.weight_momentums.cols; ++j)
      l.weight_momentums(i, j) = (l.dweights.at(i, j) * omb1) + (l.weight_momentums(i, j) * o.beta_1);
  for (std::size_t i = 0; i < l.bias_momentums.size(); ++i)
    l.bias_momentums[i] = (l.dbiases.at(i) * omb1) + (l.bias_momentums[i] * o.beta_1);
  const float c1 = 1.0f - reference_power(o.beta_1, t);
  const Matrix M = map(l.weight_momentums, [](float x, float c) { return x / c; }, c1);
  const Matrix m = map(Matrix(1, l.bias_momentums.size(), l.bias_momentums.data),
                       [](float x, float c) { return x / c; }, c1);
  for (std::size_t i = 0; i < l.weight_cache.rows; ++i)
    for (std::size_t j = 0; j < l.weight_cache.cols; ++j)
      l.weight_cache(i, j) = ((l.dweights.at(i, j) * l.dweights.at(i, j)) * (1.0f - o.beta_2)) +
                             (l.weight_cache(i, j) * o.beta_2);
  for (std::size_t i = 0; i < l.bias_cache.size(); ++i)
    l.bias_cache[i] = ((l.dbiases.at(i) * l.dbiases.at(i)) * (1.0f - o.beta_2)) +
                      (l.bias_cache[i] * o.beta_2);
  const float c2 = 1.0f - reference_power(o.beta_2, t);
  const Matrix V = map(l.weight_cache, [](float x, float c) { return x / c; }, c2);
  const Matrix v = map(Matrix(1, l.bias_cache.size(), l.bias_cache.data),
                       [](float x, float c) { return x / c; }, c2);
  const float lr = o.current_learning_rate;
  for (std::size_t i = 0; i < l.weights.rows; ++i)
    for (std::size_t j = 0; j < l.weights.cols; ++j)
      l.weights(i, j) = l.weights(i, j) + ((M.at(i, j) * (-lr)) / (sqrtf(V.at(i, j)) + o.epsilon));
  for (std::size_t i = 0; i < l.biases.size(); ++i)
    l.biases[i] = l.biases[i] + ((m.at(0, i) * (-lr)) / (sqrtf(v.at(0, i)) + o.epsilon));
}

void reference_adam_tf(const DynamicOptimizer& o, Layer& l) {
  if (l.weight_cache.empty()) l.weight_cache = Matrix(l.weights.rows, l.weights.cols);
  if (l.weight_momentums.empty()) l.weight_momentums = Matrix(l.weights.rows, l.weights.cols);
  if (l.bias_momentums.size() == 0) l.bias_momentums = Vector(l.biases.size());
  if (l.bias_cache.size() == 0) l.bias_cache = Vector(l.biases.size());
  const std::int32_t t = o.iterations + 1;
  const float p2 = reference_power(o.beta_2, t);
  const float q = sqrtf(1.0f - p2);
  float a = q * o.current_learning_rate;
  const float p1 = reference_power(o.beta_1, t);
  a = a / (1.0f - p1);
  for (std::size_t i = 0; i < l.weight_momentums.rows; ++i)
    for (std::size_t j = 0; j < l.weight_momentums.cols; ++j)
      l.weight_momentums(i, j) =
          (l.dweights.at(i, j) * (1.0f - o.beta_1)) + (l.weight_momentums(i, j) * o.beta_1);
  for (std::size_t i = 0; i < l.weight_cache.rows; ++i)
    for (std::size_t j = 0; j < l.weight_cache.cols; ++j)
      l.weight_cache(i, j) = ((l.dweights.at(i, j) * l.dweights.at(i, j)) * (1.0f - o.beta_2)) +
                             (l.weight_cache(i, j) * o.beta_2);
  for (std::size_t i = 0; i < l.weights.rows; ++i)
    for (std::size_t j = 0; j < l.weights.cols; ++j)
      l.weights(i, j) = l.weights(i, j) - ((l.weight_momentums.at(i, j) * a) /
                                           (sqrtf(l.weight_cache.at(i, j)) + o.epsilon));
  for (std::size_t i = 0; i < l.bias_momentums.size(); ++i)
    l.bias_momentums[i] = (l.dbiases.at(i) * (1.0f - o.beta_1)) + (l.bias_momentums[i] * o.beta_1);
  for (std::size_t i = 0; i < l.bias_cache.size(); ++i)
    l.bias_cache[i] = ((l.dbiases.at(i) * l.dbiases.at(i)) * (1.0f - o.beta_2)) +
                      (l.bias_cache[i] * o.beta_2);
  for (std::size_t i = 0; i < l.biases.size(); ++i)
    l.biases[i] = l.biases[i] - ((l.bias_momentums.at(i) * a) /
                                 (sqrtf(l.bias_cache.at(i)) + o.epsilon));
}

Layer trained_layer(std::size_t rows, std::size_t cols, unsigned seed) {
  Layer layer;
  layer.layer_type = "dense";
  layer.weights = ref::random_matrix(rows, cols, seed, 0.1f);
  layer.biases = ref::random_vector(cols, seed + 1, 0.1f);
  return layer;
}

// New gradients for each step; some elements exactly 0 and some tiny.
void set_gradients(Layer& layer, unsigned seed) {
  layer.dweights = ref::random_matrix(layer.weights.rows, layer.weights.cols, seed, 2.0f);
  layer.dbiases = ref::random_vector(layer.biases.size(), seed + 1, 2.0f);
  for (std::size_t k = 0; k < layer.dweights.size(); k += 5) layer.dweights.data[k] = 0.0f;
  for (std::size_t k = 2; k < layer.dweights.size(); k += 7) layer.dweights.data[k] *= 1e-9f;
}

::testing::AssertionResult same_layer(const Layer& a, const Layer& b) {
  for (auto [x, y] : {std::pair{&a.weights, &b.weights}, {&a.weight_momentums, &b.weight_momentums},
                      {&a.weight_cache, &b.weight_cache}}) {
    if (auto r = ref::same_bits(*x, *y); !r) return r;
  }
  for (auto [x, y] : {std::pair{&a.biases, &b.biases}, {&a.bias_momentums, &b.bias_momentums},
                      {&a.bias_cache, &b.bias_cache}}) {
    if (auto r = ref::same_bits(*x, *y); !r) return r;
  }
  return ::testing::AssertionSuccess();
}

using Rule = void (*)(const DynamicOptimizer&, Layer&);
struct RulePair {
  const char* name;
  Rule rule;
  Rule reference;
};

class AdamRules : public ::testing::TestWithParam<RulePair> {};

TEST_P(AdamRules, several_steps_with_decay_match_reference) {
  const RulePair rules = GetParam();
  DynamicOptimizer opt = DynamicOptimizer::create(rules.name, 0.01f, 0.1f);
  opt.current_learning_rate = opt.learning_rate;
  Layer fast = trained_layer(13, 7, 40);
  Layer slow = fast;
  for (int step = 0; step < 6; ++step) {
    set_gradients(fast, 50 + step);
    set_gradients(slow, 50 + step);
    opt.decay_step();
    rules.rule(opt, fast);
    rules.reference(opt, slow);
    ASSERT_TRUE(same_layer(fast, slow)) << "step " << step;
    opt.iteration_step();
  }
}

TEST_P(AdamRules, disagreeing_state_is_read_by_position) {
  const RulePair rules = GetParam();
  DynamicOptimizer opt = DynamicOptimizer::create(rules.name, 0.01f, 0.0f);
  opt.current_learning_rate = 0.01f;
  opt.iterations = 3;
  // State and gradients larger than the parameters, as a model file may
  // hold them: every read succeeds at (i, j) of the larger arrays.
  Layer fast = trained_layer(3, 2, 60);
  fast.dweights = ref::random_matrix(4, 5, 61);
  fast.dbiases = ref::random_vector(3, 62);
  fast.weight_momentums = ref::random_matrix(4, 3, 63, 0.1f);
  fast.weight_cache = map(ref::random_matrix(4, 3, 64), [](float x, float) { return x * x; }, 0);
  fast.bias_momentums = ref::random_vector(3, 65);
  fast.bias_cache = ref::vec({0.5f, 0.25f, 0.125f});
  Layer slow = fast;
  rules.rule(opt, fast);
  rules.reference(opt, slow);
  EXPECT_TRUE(same_layer(fast, slow));

  // A gradient that does not cover the state fails.
  for (Layer broken : {fast, fast}) {
    broken.dweights = Matrix(2, 5);
    EXPECT_EQ(ref::error_of([&] { rules.rule(opt, broken); }), ref::kIndexError);
  }
  Layer short_bias_state = trained_layer(3, 2, 66);
  set_gradients(short_bias_state, 67);
  rules.rule(opt, short_bias_state);
  short_bias_state.bias_cache = ref::vec({1.0f});
  EXPECT_EQ(ref::error_of([&] { rules.rule(opt, short_bias_state); }), ref::kIndexError);
}

TEST_P(AdamRules, layer_without_weights_ends_with_empty_state) {
  const RulePair rules = GetParam();
  DynamicOptimizer opt = DynamicOptimizer::create(rules.name, 0.01f, 0.0f);
  Layer drop;
  drop.layer_type = "dropout";
  drop.dropout_rate = 0.8f;
  drop.binary_mask = Matrix(2, 2, {1, 0, 1, 0});
  const Layer before = drop;
  rules.rule(opt, drop);
  EXPECT_EQ(drop, before);
}

INSTANTIATE_TEST_SUITE_P(optimizer, AdamRules,
                         ::testing::Values(RulePair{"adam", adam::update_params, reference_adam},
                                           RulePair{"tf_adam", adam::update_params_tf,
                                                    reference_adam_tf}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(adam, power_from_the_lowest_bit) {
  for (float b : {0.9f, 0.999f, 1.0001f, -0.5f}) {
    EXPECT_EQ(adam::power(b, 1), b);
    for (std::int32_t t = 1; t <= 2000; t += (t < 70 ? 1 : 97)) {
      ASSERT_EQ(ref::bits(adam::power(b, t)), ref::bits(reference_power(b, t))) << b << "^" << t;
    }
  }
  // t = 3: r = b, then s = b x b and r = b x (b x b): not (b x b) x b.
  const float b = std::bit_cast<float>(0x3F7FBE77u);
  EXPECT_EQ(ref::bits(adam::power(b, 3)), ref::bits(b * (b * b)));
}

TEST(adam, first_step_on_a_fresh_layer) {
  DynamicOptimizer opt = DynamicOptimizer::create("adam", 0.001f, 0.0f);
  opt.current_learning_rate = 0.001f;
  Layer layer = trained_layer(4, 3, 70);
  set_gradients(layer, 71);
  const Layer before = layer;
  adam::update_params(opt, layer);
  for (std::size_t k = 0; k < layer.weights.size(); ++k) {
    const float g = before.dweights.data[k];
    EXPECT_EQ(ref::bits(layer.weight_momentums.data[k]), ref::bits(g * (1.0f - 0.9f) + 0.0f * 0.9f));
    EXPECT_EQ(ref::bits(layer.weight_cache.data[k]),
              ref::bits((g * g) * (1.0f - opt.beta_2) + 0.0f * opt.beta_2));
    const float moved = layer.weights.data[k] - before.weights.data[k];
    if (g == 0.0f) {
      EXPECT_EQ(ref::bits(layer.weights.data[k]), ref::bits(before.weights.data[k]));
    } else if (std::fabs(g) > 1e-3f) {
      EXPECT_NEAR(moved, g > 0 ? -0.001f : 0.001f, 1e-5f);  // about lr against the gradient
    }
  }
}

TEST(adam, tf_rule_creates_only_the_missing_fields) {
  DynamicOptimizer opt = DynamicOptimizer::create("tf_adam", 0.001f, 0.0f);
  Layer layer = trained_layer(2, 2, 80);
  set_gradients(layer, 81);
  layer.weight_cache = Matrix(2, 2, {1, 1, 1, 1});
  layer.weight_momentums = Matrix(2, 2, {0.5f, 0.5f, 0.5f, 0.5f});
  layer.bias_momentums = ref::vec({0.25f, 0.25f});
  Layer expected = layer;
  adam::update_params_tf(opt, layer);
  reference_adam_tf(opt, expected);
  EXPECT_TRUE(same_layer(layer, expected));
  EXPECT_NE(layer.weight_momentums.data[1], (1.0f - 0.9f) * layer.dweights.data[1]);

  // Adam proper recreates all four fields only when weight_cache is empty.
  Layer adam_layer = trained_layer(2, 2, 82);
  set_gradients(adam_layer, 83);
  adam_layer.bias_momentums = ref::vec({7.0f, 7.0f});
  Layer adam_expected = adam_layer;
  adam::update_params(opt, adam_layer);
  reference_adam(opt, adam_expected);
  EXPECT_TRUE(same_layer(adam_layer, adam_expected));
}

TEST(sgd, worked_example_and_untouched_state) {
  DynamicOptimizer opt = DynamicOptimizer::create("sgd", 0.1f, 0.0f);
  opt.current_learning_rate = 0.1f;
  Layer layer;
  layer.weights = Matrix(1, 2, {1.0f, 2.0f});
  layer.dweights = Matrix(1, 2, {0.5f, -1.0f});
  layer.biases = ref::vec({0.0f, 0.0f});
  layer.dbiases = ref::vec({1.0f, 2.0f});
  layer.weight_cache = Matrix(1, 1, {3});
  sgd::update_params(opt, layer);
  EXPECT_EQ(layer.weights, Matrix(1, 2, {1.0f + 0.5f * -0.1f, 2.0f + -1.0f * -0.1f}));
  EXPECT_NEAR(layer.weights.data[0], 0.95f, 1e-7f);
  EXPECT_NEAR(layer.weights.data[1], 2.1f, 1e-7f);
  EXPECT_EQ(layer.biases, ref::vec({1.0f * -0.1f, 2.0f * -0.1f}));
  EXPECT_EQ(layer.weight_cache, Matrix(1, 1, {3}));
  EXPECT_TRUE(layer.weight_momentums.empty() && layer.bias_cache.empty());

  opt.current_learning_rate = 0.0f;
  const Layer before = layer;
  sgd::update_params(opt, layer);
  EXPECT_EQ(layer, before);
}

TEST(sgd, gradients_are_read_by_position) {
  DynamicOptimizer opt = DynamicOptimizer::create("sgd", 0.5f, 0.0f);
  opt.current_learning_rate = 0.5f;
  Layer layer;
  layer.weights = Matrix(2, 2, {1, 1, 1, 1});
  layer.biases = ref::vec({1.0f});
  layer.dweights = Matrix(3, 3, {2, 4, 99, 6, 8, 99, 99, 99, 99});  // extra elements ignored
  layer.dbiases = ref::vec({2, 99});
  sgd::update_params(opt, layer);
  EXPECT_EQ(layer.weights, Matrix(2, 2, {0, -1, -2, -3}));
  EXPECT_EQ(layer.biases, ref::vec({0.0f}));
  layer.dweights = Matrix(2, 1);
  EXPECT_EQ(ref::error_of([&] { sgd::update_params(opt, layer); }), ref::kIndexError);
  layer.dweights = Matrix(2, 2);
  layer.dbiases = Vector();
  EXPECT_EQ(ref::error_of([&] { sgd::update_params(opt, layer); }), ref::kIndexError);

  Layer drop;
  drop.layer_type = "dropout";
  const Layer before = drop;
  sgd::update_params(opt, drop);
  EXPECT_EQ(drop, before);
}

TEST(dyn_optimizer, update_rule_selection_is_exact) {
  Layer base = trained_layer(3, 2, 90);
  set_gradients(base, 91);
  for (const char* name : {"adam", "tf_adam", "sgd", "Adam", "adam ", "SGD", ""}) {
    DynamicOptimizer opt = DynamicOptimizer::create(name, 0.01f, 0.0f);
    Layer selected = base;
    opt.update_params(selected);
    Layer direct = base;
    if (std::string(name) == "adam") adam::update_params(opt, direct);
    if (std::string(name) == "tf_adam") adam::update_params_tf(opt, direct);
    if (std::string(name) == "sgd") sgd::update_params(opt, direct);
    EXPECT_EQ(selected, direct) << '"' << name << '"';
  }
}

}  // namespace
}  // namespace kemb
