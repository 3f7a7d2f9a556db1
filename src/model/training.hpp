// Training of both model kinds: the preparation that precedes every
// training call and the hook between epochs. The epoch loop itself is one
// template in training.cpp, instantiated for LinearModel and
// CategoricalModel.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "dyn_layer.hpp"
#include "optimizer/dyn_optimizer.hpp"

namespace kemb::model {

// Called after every epoch, once its save is done. It may throw to end the
// training call (the bindings use it to deliver Ctrl-C); the model then
// holds the updates of the epochs run so far.
using EpochHook = std::function<void()>;

// Before the loop: Layer::init on every layer, first to last; the rate in
// force becomes the base rate; the print interval is num_epochs / print_freq
// rounded down. A print_freq of 0 fails with "attempt to divide by zero",
// after the layers were initialised.
std::uint16_t prepare_training(std::vector<Layer>& layers, DynamicOptimizer& opt,
                               std::uint16_t num_epochs, std::uint16_t print_freq);

}  // namespace kemb::model
