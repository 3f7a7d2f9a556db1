// The optimizer record, the decay schedule and the three update rules over
// several steps against literal references, state of any shape included.
#include <math.h>

#include "optimizer/adam.hpp"
#include "optimizer/dyn_optimizer.hpp"
#include "support.hpp"

namespace kemb::test {
namespace {

float reference_power(float b, std::int32_t t) {
  float r = (t % 2 == 1) ? b : 1.0f;
  for (float s = b; t >= 2; t /= 2) {
    s = s * s;
    if ((t / 2) % 2 == 1) r = r * s;
  }
  return r;
}

// f(element, i, j) over every element of `a`, row by row.
template <typename F>
void each(Matrix& a, F f) {
  for (std::size_t i = 0; i < a.rows; ++i) {
    for (std::size_t j = 0; j < a.cols; ++j) f(a(i, j), i, j);
  }
}

// One parameter array and its state (a vector as one row); each loop runs over what it writes.
void reference_step(const std::string& rule, const DynamicOptimizer& o, Matrix& w, const Matrix& g,
                    Matrix& m, Matrix& v) {
  const float lr = o.current_learning_rate;
  if (rule == "sgd") return each(w, [&](float& x, auto i, auto j) { x = x + g.at(i, j) * -lr; });
  const std::int32_t t = o.iterations + 1;
  each(m, [&](float& x, auto i, auto j) { x = (g.at(i, j) * (1.0f - o.beta_1)) + (x * o.beta_1); });
  each(v, [&](float& x, auto i, auto j) {
    x = ((g.at(i, j) * g.at(i, j)) * (1.0f - o.beta_2)) + (x * o.beta_2);
  });
  if (rule == "tf_adam") {
    const float a =
        sqrtf(1.0f - reference_power(o.beta_2, t)) * lr / (1.0f - reference_power(o.beta_1, t));
    each(w, [&](float& x, auto i, auto j) {
      x = x - ((m.at(i, j) * a) / (sqrtf(v.at(i, j)) + o.epsilon));
    });
    return;
  }
  Matrix corrected_m = m, corrected_v = v;
  each(corrected_m, [&](float& x, auto, auto) { x = x / (1.0f - reference_power(o.beta_1, t)); });
  each(corrected_v, [&](float& x, auto, auto) { x = x / (1.0f - reference_power(o.beta_2, t)); });
  each(w, [&](float& x, auto i, auto j) {
    x = x + ((corrected_m.at(i, j) * (-lr)) / (sqrtf(corrected_v.at(i, j)) + o.epsilon));
  });
}

Matrix row(const Vector& v) { return Matrix(1, v.size(), v.data); }

// Adam creates all four state fields when weight_cache is empty, TF-style
// Adam each one that is empty; SGD touches no state.
void reference_rule(const std::string& rule, const DynamicOptimizer& o, Layer& l) {
  const bool fresh = l.weight_cache.empty(), tf = rule == "tf_adam";
  if (rule != "sgd") {
    if (tf ? l.weight_momentums.empty() : fresh)
      l.weight_momentums = Matrix(l.weights.rows, l.weights.cols);
    if (fresh) l.weight_cache = Matrix(l.weights.rows, l.weights.cols);
    if (tf ? l.bias_momentums.empty() : fresh) l.bias_momentums = Vector(l.biases.size());
    if (tf ? l.bias_cache.empty() : fresh) l.bias_cache = Vector(l.biases.size());
  }
  reference_step(rule, o, l.weights, l.dweights, l.weight_momentums, l.weight_cache);
  Matrix b = row(l.biases), m = row(l.bias_momentums), v = row(l.bias_cache);
  reference_step(rule, o, b, row(l.dbiases), m, v);
  l.biases.data = b.data;
  l.bias_momentums.data = m.data;
  l.bias_cache.data = v.data;
}

Layer trained_layer(std::size_t rows, std::size_t cols, unsigned seed) {
  return dense(random_matrix(rows, cols, seed, 0.1f), random_vector(cols, seed + 1, 0.1f));
}

// New gradients for each step; some elements exactly 0 and some tiny.
void set_gradients(Layer& layer, unsigned seed) {
  layer.dweights = random_matrix(layer.weights.rows, layer.weights.cols, seed, 2.0f);
  layer.dbiases = random_vector(layer.biases.size(), seed + 1, 2.0f);
  for (std::size_t k = 0; k < layer.dweights.size(); k += 5) layer.dweights.data[k] = 0.0f;
  for (std::size_t k = 2; k < layer.dweights.size(); k += 7) layer.dweights.data[k] *= 1e-9f;
}

// Each rule through DynamicOptimizer::update_params, which selects it by name.
class rules : public ::testing::TestWithParam<const char*> {};

TEST_P(rules, several_steps_with_decay_match_reference) {
  const std::string rule = GetParam();
  DynamicOptimizer opt = DynamicOptimizer::create(rule, 0.01f, 0.1f);
  Layer fast = trained_layer(13, 7, 40);
  Layer slow = fast;
  for (int step = 0; step < 6; ++step) {
    set_gradients(fast, 50 + step);
    set_gradients(slow, 50 + step);
    opt.decay_step();
    opt.update_params(fast);
    reference_rule(rule, opt, slow);
    ASSERT_TRUE(ref::same_record(fast, slow)) << "step " << step;
    opt.iteration_step();
  }
}

// State and gradients as a model file may hold them: every read at (i, j)
// of a larger array succeeds, a read outside a smaller one fails. `error`
// is null where the rules differ (the reference decides).
TEST_P(rules, state_of_any_shape_like_the_reference) {
  const std::string rule = GetParam();
  const auto larger = [](Layer& l) {
    l.dweights = random_matrix(4, 5, 61);
    l.dbiases = random_vector(3, 62);
    l.weight_momentums = random_matrix(4, 3, 63, 0.1f);
    l.weight_cache = random_matrix(4, 3, 64);
    for (float& x : l.weight_cache.data) x = x * x;
    l.bias_momentums = random_vector(3, 65);
    l.bias_cache = vec({0.5f, 0.25f, 0.125f});
  };
  // clang-format off
  const struct {
    const char* name;
    void (*set)(Layer&);
    const char* error;
  } cases[] = {
      {"larger state and gradients", larger, "<no error>"},
      {"no bias gradient", [](Layer& l) { l.dbiases = Vector(); }, "ndarray: index out of bounds"},
      {"some state present",
       [](Layer& l) {
         l.weight_cache = Matrix(3, 2, {1, 1, 1, 1, 1, 1});
         l.weight_momentums = Matrix(3, 2, {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f});
         l.bias_momentums = vec({0.25f, 0.25f});
       },
       nullptr},
  };
  // clang-format on
  DynamicOptimizer opt = DynamicOptimizer::create(rule, 0.01f, 0.0f);
  opt.current_learning_rate = 0.01f;
  opt.iterations = 3;
  for (const auto& c : cases) {
    Layer fast = trained_layer(3, 2, 60);
    set_gradients(fast, 67);
    c.set(fast);
    Layer slow = fast;
    const std::string message = message_of([&] { opt.update_params(fast); });
    EXPECT_EQ(message, message_of([&] { reference_rule(rule, opt, slow); })) << c.name;
    EXPECT_EQ(message, c.error ? c.error : message) << c.name;
    EXPECT_TRUE(message != "<no error>" || ref::same_record(fast, slow)) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(optimizer, rules, ::testing::Values("adam", "tf_adam", "sgd"),
                         [](const auto& info) { return std::string(info.param); });

TEST(adam, power_from_the_lowest_bit) {
  for (float b : {0.9f, 0.999f, 1.0001f, -0.5f}) {
    for (std::int32_t t = 1; t <= 2000; t += (t < 70 ? 1 : 97)) {
      ASSERT_EQ(bits(adam::power(b, t)), bits(reference_power(b, t))) << b << "^" << t;
    }
  }
  // t = 3: r = b, then s = b x b and r = b x (b x b): not (b x b) x b.
  const float b = std::bit_cast<float>(0x3F7FBE77u);
  EXPECT_EQ(bits(adam::power(b, 3)), bits(b * (b * b)));
}

TEST(dyn_optimizer, other_names_update_nothing) {
  Layer base = trained_layer(3, 2, 90);
  set_gradients(base, 91);
  for (const char* name : {"Adam", "adam ", "SGD", ""}) {
    Layer layer = base;
    DynamicOptimizer::create(name, 0.01f, 0.0f).update_params(layer);
    EXPECT_EQ(layer, base) << '"' << name << '"';
  }
}

TEST(dyn_optimizer, creation_values) {
  const DynamicOptimizer opt = DynamicOptimizer::create("adam", 0.01f, 0.1f);
  EXPECT_EQ(opt.iterations, 0);
  EXPECT_EQ(opt.momentum, 0.0f);
  EXPECT_EQ(bits(opt.current_learning_rate), 0x3A83126Fu);
  EXPECT_EQ(bits(opt.epsilon), 0x33D6BF95u);
  EXPECT_EQ(bits(opt.beta_1), 0x3F666666u);
  EXPECT_EQ(bits(opt.beta_2), 0x3F7FBE77u);
}

// The decayed rate of epoch `iterations` + 1, one float32 rounding per step.
float reference_rate(float learning_rate, float decay, std::int32_t iterations) {
  volatile float a = decay * static_cast<float>(iterations);
  volatile float b = a + 1.0f;
  volatile float c = 1.0f / b;
  return c * learning_rate;
}

TEST(dyn_optimizer, decay_schedule_matches_float32_reference) {
  DynamicOptimizer opt = DynamicOptimizer::create("sgd", 0.01f, 0.1f);
  for (int epoch = 1; epoch <= 50; ++epoch) {
    opt.decay_step();
    ASSERT_EQ(bits(opt.current_learning_rate), bits(reference_rate(0.01f, 0.1f, epoch - 1)))
        << "epoch " << epoch;
    opt.iteration_step();
    ASSERT_EQ(opt.iterations, epoch);
  }
  // A zero decay keeps the rate in force.
  DynamicOptimizer kept = DynamicOptimizer::create("adam", 0.5f, 0.0f);
  kept.current_learning_rate = 0.25f;
  kept.iteration_step();
  kept.decay_step();
  EXPECT_EQ(kept.current_learning_rate, 0.25f);
}

}  // namespace
}  // namespace kemb::test
