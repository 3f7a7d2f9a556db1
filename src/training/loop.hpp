// The training calls of both model kinds: the preparation that precedes
// every call, and train(), the one epoch loop (loop.cpp). This folder sits
// above persistence/: the loop drives the background saves, the records
// below know nothing of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "dyn_layer.hpp"
#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "optimizer/dyn_optimizer.hpp"
#include "tensor/matrix.hpp"

namespace kemb::training {

// Called after every epoch of a training call, once its save is handed
// over. It may throw to end the call (the bindings use it to deliver
// Ctrl-C); the model then holds the updates of the epochs run so far.
using EpochHook = std::function<void()>;

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

// Trains `model` (a LinearModel or a CategoricalModel) in place, full
// batch, for num_epochs epochs: forward, loss and accuracy, backward, one
// optimizer step per layer, validation when val_x is not 0 x 0, a progress
// report every print_every epochs (0: never) on standard output, and a save
// to save_best_params whenever the training data loss reaches a new low
// (never in epoch 1), written in the background while the next epochs run.
// Returns once the last save is on disk.
template <typename Model>
void train(Model& model, std::uint16_t num_epochs, std::uint16_t print_every, tensor::Matrix x,
           const typename Model::Targets& y, const tensor::Matrix& val_x,
           const typename Model::Targets& val_y, DynamicOptimizer opt,
           const EpochHook& between_epochs = {});

extern template void train(LinearModel&, std::uint16_t, std::uint16_t, tensor::Matrix,
                           const tensor::Vector&, const tensor::Matrix&, const tensor::Vector&,
                           DynamicOptimizer, const EpochHook&);
extern template void train(CategoricalModel&, std::uint16_t, std::uint16_t, tensor::Matrix,
                           const tensor::Labels&, const tensor::Matrix&, const tensor::Labels&,
                           DynamicOptimizer, const EpochHook&);

}  // namespace kemb::training
