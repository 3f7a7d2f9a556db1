// LinearModel: forward pass, prediction, the figures of a pass and the test
// report.
#include "model/linear.hpp"

#include <cmath>
#include <cstdint>

#include "accuracy/linear.hpp"
#include "activation/linear.hpp"
#include "io/console.hpp"
#include "loss/mean_squared_error.hpp"
#include "model/report.hpp"

namespace kemb {

using tensor::Matrix;
using tensor::Vector;

const Matrix& LinearModel::forward(const Matrix& x, bool training, model::Workspace& ws) {
  // The identity output needs no copy: the caller only reads the result.
  return model::forward_layers(layers, x, training, ws);
}

void LinearModel::predict(Vector& out, const Matrix& output) const {
  if (output_type == "linear") {
    linear::predict(out, output);
  } else {
    out.data.clear();
  }
}

// The loss looks at the predictions only: the first output column.
float LinearModel::data_loss(const Matrix&, const Vector& predictions, const Vector& y) const {
  return loss_type == "mean_squared_error" ? mean_squared_error::calculate(predictions, y) : 0.0f;
}

float LinearModel::accuracy(const Vector& predictions, const Vector& y) const {
  return acc_type == "linear" ? accuracy::linear(predictions, y, acc_precision) : 0.0f;
}

void LinearModel::loss_gradient(Matrix& d, const Matrix& output, const Vector& y) {
  mean_squared_error::backward(d, output, y);
}

// x: (n_samples, n_features), targets: (>= predictions)
void LinearModel::test(const Matrix& x, const Vector& targets) {
  model::Workspace ws;
  const Matrix& output = forward(x, false, ws);
  Vector predictions;
  predict(predictions, output);
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
  const float percent = static_cast<float>(hits) / n * 100.0f;
  io::print_line(report::linear_summary_line(mean_error, percent));
}

}  // namespace kemb
