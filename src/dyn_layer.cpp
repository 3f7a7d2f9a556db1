// Layer initialisation.
#include "dyn_layer.hpp"

#include <bit>

#include "random/normal.hpp"
#include "random/thread_rng.hpp"

namespace kemb {
namespace {

// 0.01 as a float32 (0x3C23D70A): the scale of the initial weights.
constexpr float kWeightScale = 0.01f;
static_assert(std::bit_cast<std::uint32_t>(kWeightScale) == 0x3C23D70Au);

void init_dense(Layer& layer) {
  // Shapes are checked before the draw so that an impossible size fails
  // without consuming the generator.
  Matrix weights(layer.n_inputs, layer.n_neurons);
  Vector biases(layer.n_neurons);
  const std::uint64_t s = random::next_u64();
  random::StandardNormal normal(random::XorShift128Plus(s - 1, s + 1));
  for (float& w : weights.data) {
    const double z = 0.0 + 1.0 * normal.next();
    w = static_cast<float>(z) * kWeightScale;
  }
  layer.weights = std::move(weights);
  layer.biases = std::move(biases);
}

}  // namespace

void Layer::init() {
  if (layer_type == "dropout") {
    dropout_rate = 1.0f - dropout_rate;
  } else if (layer_type == "dense") {
    init_dense(*this);
  }
}

}  // namespace kemb
