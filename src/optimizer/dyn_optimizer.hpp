// DynamicOptimizer: the one optimizer record. `opt_type` picks the update
// rule at every step ("adam", "tf_adam", "sgd"; anything else updates
// nothing). The per-layer state lives in the layers, not here.
#pragma once

#include <cstdint>
#include <string>

namespace kemb {

struct Layer;

struct DynamicOptimizer {
  std::string opt_type;
  float learning_rate = 0.001f;          // base rate
  float current_learning_rate = 0.001f;  // rate in force (0x3A83126F)
  float decay = 0.0f;                    // learning-rate decay coefficient
  std::int32_t iterations = 0;           // steps completed in this training call
  float epsilon = 1e-7f;                 // 0x33D6BF95
  float beta_1 = 0.9f;                   // 0x3F666666
  float beta_2 = 0.999f;                 // 0x3F7FBE77
  float momentum = 0.0f;                 // SGD momentum; the module never sets it

  // The record create_optimizer builds.
  static DynamicOptimizer create(std::string opt_type, float learning_rate, float decay);

  // Once per epoch, before the layer updates: when decay != 0,
  // current_learning_rate = (1 / (1 + decay * iterations)) * learning_rate,
  // each operation rounded to float32 in that order.
  void decay_step();

  // Updates one layer by the rule `opt_type` names, compared byte for byte:
  // "adam", "tf_adam" or "sgd"; any other text leaves the layer unchanged.
  void update_params(Layer& layer) const;

  // Once per epoch, after the layer updates.
  void iteration_step() { iterations += 1; }

  friend bool operator==(const DynamicOptimizer&, const DynamicOptimizer&) = default;
};

}  // namespace kemb
