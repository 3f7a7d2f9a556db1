// LinearModel: a regression network. One real-valued target per sample,
// mean-squared-error loss, accuracy by absolute tolerance `acc_precision`.
// The selector texts are compared byte for byte; a text that matches nothing
// switches its piece off instead of failing.
#pragma once

#include <string>
#include <vector>

#include "dyn_layer.hpp"

namespace kemb {

struct LinearModel {
  std::vector<Layer> layers;                      // applied first to last
  std::string output_type = "linear";             // "linear": identity output
  std::string loss_type = "mean_squared_error";   // reported loss
  std::string acc_type = "linear";                // reported accuracy
  float acc_precision = 1.0f;                     // tolerance of the accuracy, bound included
  std::string save_best_params;                   // file for the best model; empty: never save

  friend bool operator==(const LinearModel&, const LinearModel&) = default;
};

}  // namespace kemb
