// Optimizer record: creation values and the decay and iteration steps, bit
// for bit against a naive float32 evaluation.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "optimizer/dyn_optimizer.hpp"

namespace kemb {
namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// The decayed rate of epoch `iterations` + 1, one float32 rounding per step.
float reference_rate(float learning_rate, float decay, std::int32_t iterations) {
  volatile float a = decay * static_cast<float>(iterations);
  volatile float b = a + 1.0f;
  volatile float c = 1.0f / b;
  return c * learning_rate;
}

TEST(dyn_optimizer, creation_values) {
  const DynamicOptimizer opt = DynamicOptimizer::create("adam", 0.01f, 0.1f);
  EXPECT_EQ(opt.opt_type, "adam");
  EXPECT_EQ(opt.learning_rate, 0.01f);
  EXPECT_EQ(bits(opt.current_learning_rate), 0x3A83126Fu);
  EXPECT_EQ(opt.decay, 0.1f);
  EXPECT_EQ(opt.iterations, 0);
  EXPECT_EQ(bits(opt.epsilon), 0x33D6BF95u);
  EXPECT_EQ(bits(opt.beta_1), 0x3F666666u);
  EXPECT_EQ(bits(opt.beta_2), 0x3F7FBE77u);
  EXPECT_EQ(opt.momentum, 0.0f);
}

TEST(dyn_optimizer, decay_schedule_matches_float32_reference) {
  DynamicOptimizer opt = DynamicOptimizer::create("sgd", 0.01f, 0.1f);
  opt.current_learning_rate = opt.learning_rate;
  for (int epoch = 1; epoch <= 50; ++epoch) {
    opt.decay_step();
    EXPECT_EQ(bits(opt.current_learning_rate), bits(reference_rate(0.01f, 0.1f, epoch - 1)))
        << "epoch " << epoch;
    opt.iteration_step();
    EXPECT_EQ(opt.iterations, epoch);
  }
  // Epochs 1 to 3 of the worked example: 0.01, 0.01 x (1 / 1.1), 0.01 x (1 / 1.2).
  EXPECT_EQ(reference_rate(0.01f, 0.1f, 0), 0.01f);
  EXPECT_EQ(bits(reference_rate(0.01f, 0.1f, 1)), bits((1.0f / 1.1f) * 0.01f));
}

TEST(dyn_optimizer, zero_decay_keeps_the_rate) {
  for (float zero : {0.0f, -0.0f}) {
    DynamicOptimizer opt = DynamicOptimizer::create("adam", 0.5f, zero);
    opt.current_learning_rate = 0.25f;
    for (int i = 0; i < 5; ++i) {
      opt.decay_step();
      opt.iteration_step();
    }
    EXPECT_EQ(opt.current_learning_rate, 0.25f);
  }
}

TEST(dyn_optimizer, unusual_decays_are_used_unchanged) {
  DynamicOptimizer nan_decay =
      DynamicOptimizer::create("adam", 0.5f, std::numeric_limits<float>::quiet_NaN());
  nan_decay.decay_step();
  EXPECT_TRUE(std::isnan(nan_decay.current_learning_rate));

  // decay x iterations = -1 makes the rate infinite, then negative.
  DynamicOptimizer negative = DynamicOptimizer::create("adam", 1.0f, -1.0f);
  negative.iteration_step();
  negative.decay_step();
  EXPECT_TRUE(std::isinf(negative.current_learning_rate));
  negative.iteration_step();
  negative.decay_step();
  EXPECT_EQ(negative.current_learning_rate, -1.0f);
}

}  // namespace
}  // namespace kemb
