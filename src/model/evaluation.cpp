// The test reports of both model kinds: one line per sample and a summary.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "accuracy/categorical.hpp"
#include "activation/linear.hpp"
#include "io/console.hpp"
#include "io/error.hpp"
#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "model/report.hpp"

namespace kemb {

using io::throw_index_out_of_bounds;
using io::throw_sequence_index;
using tensor::Labels;
using tensor::Matrix;
using tensor::Vector;

// x: (n_samples, n_features), labels: (>= predictions)
void CategoricalModel::test(const Matrix& x, const Labels& labels) {
  model::Workspace ws;
  const Matrix& output = forward(x, false, ws);
  Labels predictions;
  predict(output_type, output, predictions);
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    if (i >= labels.size()) throw_sequence_index(labels.size(), i);
    const std::int32_t label = labels[i];
    // The certainty is the output at the true label's column.
    if (label < 0) throw_index_out_of_bounds();
    const float certainty = output.at(i, static_cast<std::size_t>(label)) * 100.0f;
    io::print_line(report::categorical_sample_line(label, predictions[i], certainty));
  }
  const float accuracy =
      acc_type == "categorical" ? accuracy::categorical(predictions, labels) * 100.0f : 0.0f;
  io::print_line(report::categorical_summary_line(accuracy));
}

// x: (n_samples, n_features), targets: (>= predictions)
void LinearModel::test(const Matrix& x, const Vector& targets) {
  model::Workspace ws;
  const Matrix& output = forward(x, false, ws);
  Vector predictions;
  if (output_type == "linear") linear::predict(output, predictions);
  float error_sum = 0.0f;
  std::int32_t hits = 0;
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    const float target = targets.at(i);
    const float prediction = predictions[i];
    const float error = std::fabs(target - prediction);
    io::print_line(report::linear_sample_line(target, prediction, error));
    error_sum += error;
    if (error <= acc_precision) hits += 1;  // a NaN error is no hit
  }
  // The accuracy divides by the number of predictions (not of targets).
  const float n = static_cast<float>(predictions.size());
  const float mean_error = error_sum / n;
  const float accuracy = static_cast<float>(hits) / n * 100.0f;
  io::print_line(report::linear_summary_line(mean_error, accuracy));
}

}  // namespace kemb
