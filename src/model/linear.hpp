// LinearModel: a regression network. One real-valued target per sample,
// mean-squared-error loss, accuracy by absolute tolerance `acc_precision`.
// The selector texts are compared byte for byte; a text that matches nothing
// switches its piece off instead of failing. The record, its passes, how it
// is scored against targets and its test report live here; training/
// trains it.
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

struct LinearModel {
  using Targets = tensor::Vector;      // one real value per sample
  using Predictions = tensor::Vector;  // the first output column

  std::vector<Layer> layers;                     // applied first to last
  std::string output_type = "linear";            // "linear": identity output
  std::string loss_type = "mean_squared_error";  // reported loss
  std::string acc_type = "linear";               // reported accuracy
  float acc_precision = 1.0f;                    // tolerance of the accuracy, bound included
  std::string save_best_params;                  // file for the best model; empty: never save

  // The record's name in messages about its array form.
  static constexpr std::string_view kName = "LinearModel";

  // Every field with its key in the model file, in file order.
  static constexpr auto fields() {
    return std::tuple{
        field("layers", &LinearModel::layers),
        field("output_type", &LinearModel::output_type),
        field("loss_type", &LinearModel::loss_type),
        field("acc_type", &LinearModel::acc_type),
        field("acc_precision", &LinearModel::acc_precision),
        field("save_best_params", &LinearModel::save_best_params),
    };
  }

  // x: (n_samples, n_features) -> (n_samples, n_outputs)
  // The layers' forward passes, then the output activation: "linear" is the
  // identity, any other output_type leaves the last layer's output as it is.
  // The result stays valid until the next pass with the same workspace.
  const tensor::Matrix& forward(const tensor::Matrix& x, bool training, model::Workspace& ws);

  // output: (n_samples, n_outputs) -> out: (n_samples), the first column, or
  // empty unless output_type is "linear".
  void predict(tensor::Vector& out, const tensor::Matrix& output) const;

  // The reported figures of one pass against the targets `y`: the mean
  // squared error of the predictions (0 unless loss_type names it) and the
  // share within acc_precision (0 unless acc_type names it).
  float data_loss(const tensor::Matrix& output, const tensor::Vector& predictions,
                  const tensor::Vector& y) const;
  float accuracy(const tensor::Vector& predictions, const tensor::Vector& y) const;

  // output: (n_samples, n_outputs), y: (n_samples) -> d: (n_samples, n_outputs)
  // The gradient of the mean squared error with respect to the whole output.
  static void loss_gradient(tensor::Matrix& d, const tensor::Matrix& output,
                            const tensor::Vector& y);

  // Evaluates the model as it stands on x and prints one line per sample
  // and a summary on standard output.
  void test(const tensor::Matrix& x, const tensor::Vector& targets);

  friend bool operator==(const LinearModel&, const LinearModel&) = default;
};

}  // namespace kemb
