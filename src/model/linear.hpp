// LinearModel: a regression network. One real-valued target per sample,
// mean-squared-error loss, accuracy by absolute tolerance `acc_precision`.
// The selector texts are compared byte for byte; a text that matches nothing
// switches its piece off instead of failing.
#pragma once

#include <string>
#include <vector>

#include "dyn_layer.hpp"
#include "model/network.hpp"
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
  const Matrix& forward(const Matrix& x, bool training, model::Workspace& ws);
  Matrix forward(Matrix x, bool training);

  // ws.gradient: (n_samples, n_outputs), the loss gradient, consumed.
  // Back-propagates through the layers, last to first.
  void backward(model::Workspace& ws);

  float regularization_loss() const;

  friend bool operator==(const LinearModel&, const LinearModel&) = default;
};

}  // namespace kemb
