// CategoricalModel: forward pass with the softmax output, class prediction,
// the figures of a pass and the test report.
#include "model/categorical.hpp"

#include <cstdint>

#include "accuracy/categorical.hpp"
#include "activation/softmax.hpp"
#include "io/console.hpp"
#include "io/error.hpp"
#include "loss/categorical_crossentropy.hpp"
#include "model/report.hpp"

namespace kemb {

using tensor::Labels;
using tensor::Matrix;

const Matrix& CategoricalModel::forward(const Matrix& x, bool training, model::Workspace& ws) {
  const Matrix& last = model::forward_layers(layers, x, training, ws);
  if (output_type != "softmax") return last;
  softmax::forward(ws.output, last);
  return ws.output;
}

void CategoricalModel::predict(Labels& out, const Matrix& output) const {
  if (output_type != "softmax") {
    out.clear();
    return;
  }
  out.resize(output.rows);
  for (std::size_t i = 0; i < output.rows; ++i) {
    const float* row = output.row(i);
    std::size_t best = 0;
    for (std::size_t j = 1; j < output.cols; ++j) {
      if (row[j] > row[best]) best = j;
    }
    out[i] = static_cast<std::int32_t>(best);
  }
}

float CategoricalModel::data_loss(const Matrix& output, const Labels&, const Labels& y) const {
  return loss_type == "categorical_crossentropy" ? categorical_crossentropy::calculate(output, y)
                                                 : 0.0f;
}

float CategoricalModel::accuracy(const Labels& predictions, const Labels& y) const {
  return acc_type == "categorical" ? accuracy::categorical(predictions, y) : 0.0f;
}

void CategoricalModel::loss_gradient(Matrix& d, const Matrix& output, const Labels& y) {
  categorical_crossentropy::backward(d, output, y);
}

// x: (n_samples, n_features), labels: (>= predictions)
void CategoricalModel::test(const Matrix& x, const Labels& labels) {
  model::Workspace ws;
  const Matrix& output = forward(x, false, ws);
  Labels predictions;
  predict(predictions, output);
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    if (i >= labels.size()) io::throw_sequence_index(labels.size(), i);
    const std::int32_t label = labels[i];
    // The certainty is the output at the true label's column.
    if (label < 0) io::throw_index_out_of_bounds();
    const float certainty = output.at(i, static_cast<std::size_t>(label)) * 100.0f;
    io::print_line(report::categorical_sample_line(label, predictions[i], certainty));
  }
  const float percent =
      acc_type == "categorical" ? accuracy::categorical(predictions, labels) * 100.0f : 0.0f;
  io::print_line(report::categorical_summary_line(percent));
}

}  // namespace kemb
