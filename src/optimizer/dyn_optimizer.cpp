// Learning-rate decay of the optimizer record and the selection of the
// update rule.
#include "optimizer/dyn_optimizer.hpp"

#include <utility>

#include "dyn_layer.hpp"
#include "optimizer/adam.hpp"
#include "optimizer/sgd.hpp"

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

void DynamicOptimizer::update_params(Layer& layer) const {
  if (opt_type == "adam") {
    adam::update_params(*this, layer);
  } else if (opt_type == "tf_adam") {
    adam::update_params_tf(*this, layer);
  } else if (opt_type == "sgd") {
    sgd::update_params(*this, layer);
  }
}

}  // namespace kemb
