// LinearModel: a regression network. One real-valued target per sample,
// mean-squared-error loss, accuracy by absolute tolerance `acc_precision`.
// The selector texts are compared byte for byte; a text that matches nothing
// switches its piece off instead of failing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dyn_layer.hpp"
#include "model/network.hpp"
#include "model/training.hpp"
#include "optimizer/dyn_optimizer.hpp"
#include "tensor/matrix.hpp"

namespace kemb {

struct LinearModel {
  std::vector<Layer> layers;                      // applied first to last
  std::string output_type = "linear";             // "linear": identity output
  std::string loss_type = "mean_squared_error";   // reported loss
  std::string acc_type = "linear";                // reported accuracy
  float acc_precision = 1.0f;                     // tolerance of the accuracy, bound included
  std::string save_best_params;                   // file for the best model; empty: never save

  // x: (n_samples, n_features) -> (n_samples, n_outputs)
  // The layers' forward passes, then the output activation: "linear" is the
  // identity, any other output_type leaves the last layer's output as it is.
  // The result stays valid until the next pass with the same workspace.
  const tensor::Matrix& forward(const tensor::Matrix& x, bool training, model::Workspace& ws);
  tensor::Matrix forward(tensor::Matrix x, bool training);

  // ws.gradient: (n_samples, n_outputs), the loss gradient, consumed.
  // Back-propagates through the layers, last to first.
  void backward(model::Workspace& ws);

  float regularization_loss() const;

  // Trains the model in place, full batch, for num_epochs epochs: forward,
  // loss and accuracy, backward, one optimizer step per layer, validation
  // when val_x is not 0 x 0, a progress report every print_every epochs
  // (0: never) on standard output, and a save to save_best_params whenever
  // the training data loss reaches a new low (never in epoch 1).
  void train(std::uint16_t num_epochs, std::uint16_t print_every, tensor::Matrix x,
             const tensor::Vector& y, const tensor::Matrix& val_x, const tensor::Vector& val_y,
             DynamicOptimizer opt, const model::EpochHook& between_epochs = {});

  // Evaluates the model as it stands on x and prints one line per sample
  // and a summary on standard output.
  void test(const tensor::Matrix& x, const tensor::Vector& targets);

  friend bool operator==(const LinearModel&, const LinearModel&) = default;
};

}  // namespace kemb
