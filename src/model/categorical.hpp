// CategoricalModel: a classification network. One class index per sample,
// softmax output, categorical cross-entropy loss, arg-max accuracy. The
// selector texts are compared byte for byte; a text that matches nothing
// switches its piece off instead of failing. The record, its passes, how it
// is scored against labels and its test report live here; training/ trains
// it.
#pragma once

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "dyn_layer.hpp"
#include "field_table.hpp"
#include "model/network.hpp"
#include "tensor/matrix.hpp"

namespace kemb {

struct CategoricalModel {
  using Targets = tensor::Labels;      // one class index per sample
  using Predictions = tensor::Labels;  // one predicted class per sample

  std::vector<Layer> layers;                           // applied first to last
  std::string output_type = "softmax";                 // "softmax": row-wise softmax output
  std::string loss_type = "categorical_crossentropy";  // reported loss
  std::string acc_type = "categorical";                // reported accuracy
  std::string save_best_params;                        // file for the best model; empty: never save

  // The record's name in messages about its array form.
  static constexpr std::string_view kName = "CategoricalModel";

  // Every field with its key in the model file, in file order.
  static constexpr auto fields() {
    return std::tuple{
        field("layers", &CategoricalModel::layers),
        field("output_type", &CategoricalModel::output_type),
        field("loss_type", &CategoricalModel::loss_type),
        field("acc_type", &CategoricalModel::acc_type),
        field("save_best_params", &CategoricalModel::save_best_params),
    };
  }

  // x: (n_samples, n_features) -> (n_samples, n_classes)
  // The layers' forward passes, then the output activation: "softmax" is the
  // row-wise softmax, any other output_type leaves the last layer's output
  // as it is. The result stays valid until the next pass with the same
  // workspace.
  const tensor::Matrix& forward(const tensor::Matrix& x, bool training, model::Workspace& ws);

  // output: (n_samples, n_classes) -> out: (n_samples) class indices, or
  // empty unless output_type is "softmax". Per row the first maximum wins
  // (ties go to the lowest column, NaN never wins); no columns gives 0.
  void predict(tensor::Labels& out, const tensor::Matrix& output) const;

  // The reported figures of one pass against the labels `y`: the
  // cross-entropy of `output` (0 unless loss_type names it) and the share of
  // right predictions (0 unless acc_type names it).
  float data_loss(const tensor::Matrix& output, const tensor::Labels& predictions,
                  const tensor::Labels& y) const;
  float accuracy(const tensor::Labels& predictions, const tensor::Labels& y) const;

  // output: (n_samples, n_classes), y: (n_samples) -> d: (n_samples, n_classes)
  // The gradient of the cross-entropy with respect to the softmax input.
  static void loss_gradient(tensor::Matrix& d, const tensor::Matrix& output,
                            const tensor::Labels& y);

  // Evaluates the model as it stands on x and prints one line per sample
  // and a summary on standard output.
  void test(const tensor::Matrix& x, const tensor::Labels& labels);

  friend bool operator==(const CategoricalModel&, const CategoricalModel&) = default;
};

}  // namespace kemb
