// LinearModel: forward pass, backward pass and regularization loss.
#include "model/linear.hpp"

namespace kemb {

using tensor::Matrix;

const Matrix& LinearModel::forward(const Matrix& x, bool training, model::Workspace& ws) {
  // The identity output needs no copy: the caller only reads the result.
  return model::forward_layers(layers, x, training, ws);
}

Matrix LinearModel::forward(Matrix x, bool training) {
  model::Workspace ws;
  return forward(x, training, ws);
}

void LinearModel::backward(model::Workspace& ws) { model::backward_layers(layers, ws); }

float LinearModel::regularization_loss() const { return model::regularization_loss(layers); }

}  // namespace kemb
