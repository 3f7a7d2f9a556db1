// CategoricalModel: forward pass with the softmax output, class prediction,
// backward pass and regularization loss.
#include "model/categorical.hpp"

#include <cstdint>

#include "activation/softmax.hpp"

namespace kemb {

using tensor::Labels;
using tensor::Matrix;

const Matrix& CategoricalModel::forward(const Matrix& x, bool training, model::Workspace& ws) {
  const Matrix& last = model::forward_layers(layers, x, training, ws);
  if (output_type != "softmax") return last;
  softmax::forward(last, ws.output);
  return ws.output;
}

Matrix CategoricalModel::forward(Matrix x, bool training) {
  model::Workspace ws;
  return forward(x, training, ws);
}

void CategoricalModel::predict(const std::string& output_type, const Matrix& output,
                               Labels& out) {
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

Labels CategoricalModel::predict(const std::string& output_type, const Matrix& output) {
  Labels out;
  predict(output_type, output, out);
  return out;
}

void CategoricalModel::backward(model::Workspace& ws) { model::backward_layers(layers, ws); }

float CategoricalModel::regularization_loss() const { return model::regularization_loss(layers); }

}  // namespace kemb
