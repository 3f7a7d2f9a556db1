// Learning-rate decay of the optimizer record.
#include "optimizer/dyn_optimizer.hpp"

#include <utility>

namespace kemb {

DynamicOptimizer DynamicOptimizer::create(std::string opt_type, float learning_rate, float decay) {
  DynamicOptimizer opt;
  opt.opt_type = std::move(opt_type);
  opt.learning_rate = learning_rate;
  opt.decay = decay;
  return opt;
}

void DynamicOptimizer::decay_step() {
  if (decay != 0.0f) {
    const float a = decay * static_cast<float>(iterations);
    const float b = a + 1.0f;
    const float c = 1.0f / b;
    current_learning_rate = c * learning_rate;
  }
}

}  // namespace kemb
