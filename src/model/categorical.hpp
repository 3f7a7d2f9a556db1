// CategoricalModel: a classification network. One class index per sample,
// softmax output, categorical cross-entropy loss, arg-max accuracy. The
// selector texts are compared byte for byte; a text that matches nothing
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

struct CategoricalModel {
  std::vector<Layer> layers;                           // applied first to last
  std::string output_type = "softmax";                 // "softmax": row-wise softmax output
  std::string loss_type = "categorical_crossentropy";  // reported loss
  std::string acc_type = "categorical";                // reported accuracy
  std::string save_best_params;                        // file for the best model; empty: never save

  // x: (n_samples, n_features) -> (n_samples, n_classes)
  // The layers' forward passes, then the output activation: "softmax" is the
  // row-wise softmax, any other output_type leaves the last layer's output
  // as it is. The result stays valid until the next pass with the same
  // workspace.
  const tensor::Matrix& forward(const tensor::Matrix& x, bool training, model::Workspace& ws);
  tensor::Matrix forward(tensor::Matrix x, bool training);

  // output: (n_samples, n_classes) -> out: (n_samples) class indices, or
  // empty unless output_type is "softmax". Per row the first maximum wins
  // (ties go to the lowest column, NaN never wins); no columns gives 0.
  static void predict(const std::string& output_type, const tensor::Matrix& output,
                      tensor::Labels& out);
  static tensor::Labels predict(const std::string& output_type, const tensor::Matrix& output);

  // ws.gradient: (n_samples, n_classes), the loss gradient, consumed.
  // Back-propagates through the layers, last to first.
  void backward(model::Workspace& ws);

  float regularization_loss() const;

  // Trains the model in place, full batch, for num_epochs epochs: forward,
  // loss and accuracy, backward, one optimizer step per layer, validation
  // when val_x is not 0 x 0, a progress report every print_every epochs
  // (0: never) on standard output, and a save to save_best_params whenever
  // the training data loss reaches a new low (never in epoch 1).
  void train(std::uint16_t num_epochs, std::uint16_t print_every, tensor::Matrix x,
             const tensor::Labels& y, const tensor::Matrix& val_x, const tensor::Labels& val_y,
             DynamicOptimizer opt, const model::EpochHook& between_epochs = {});

  // Evaluates the model as it stands on x and prints one line per sample
  // and a summary on standard output.
  void test(const tensor::Matrix& x, const tensor::Labels& labels);

  friend bool operator==(const CategoricalModel&, const CategoricalModel&) = default;
};

}  // namespace kemb
