// The training calls of both model kinds: the preparation that precedes
// every call, and the one epoch loop (loop.cpp) behind LinearModel::train
// and CategoricalModel::train. This folder sits above persistence/: the loop
// drives the background saves, the records below know nothing of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dyn_layer.hpp"
#include "optimizer/dyn_optimizer.hpp"

namespace kemb::training {

// Before the loop: Layer::init on every layer, first to last; the rate in
// force becomes the base rate; the print interval is num_epochs / print_freq
// rounded down. A print_freq of 0 fails with "attempt to divide by zero",
// after the layers were initialised. When the first epoch will run, a layer
// stack that cannot take a training input of `rows` x `cols` fails first,
// before any layer is initialised, with the error of the product that would
// fail in that epoch: a layer that claims a size it cannot be given costs
// neither time nor memory.
std::uint16_t prepare(std::vector<Layer>& layers, DynamicOptimizer& opt, std::uint16_t num_epochs,
                      std::uint16_t print_freq, std::size_t rows, std::size_t cols);

}  // namespace kemb::training
