// CategoricalModel: a classification network. One class index per sample,
// softmax output, categorical cross-entropy loss, arg-max accuracy. The
// selector texts are compared byte for byte; a text that matches nothing
// switches its piece off instead of failing.
#pragma once

#include <string>
#include <vector>

#include "dyn_layer.hpp"

namespace kemb {

struct CategoricalModel {
  std::vector<Layer> layers;                           // applied first to last
  std::string output_type = "softmax";                 // "softmax": row-wise softmax output
  std::string loss_type = "categorical_crossentropy";  // reported loss
  std::string acc_type = "categorical";                // reported accuracy
  std::string save_best_params;                        // file for the best model; empty: never save

  friend bool operator==(const CategoricalModel&, const CategoricalModel&) = default;
};

}  // namespace kemb
