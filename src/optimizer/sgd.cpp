// SGD update. The working arrays U = dweights x (-lr) and u = dbiases x (-lr)
// are folded into the parameter loops: each element still gets exactly one
// product and one sum, in that order.
#include "optimizer/sgd.hpp"

#include "tensor/elementwise.hpp"

namespace kemb::sgd {

using tensor::Matrix;
using tensor::Vector;

void update_params(const DynamicOptimizer& optimizer, Layer& layer) {
  const float neg_lr = -optimizer.current_learning_rate;
  Matrix& w = layer.weights;
  const Matrix& dw = layer.dweights;
  Vector& b = layer.biases;
  const Vector& db = layer.dbiases;
  // Both gradients are checked before any parameter moves.
  tensor::check_covers(dw, w.rows, w.cols);
  tensor::check_covers(db, b.size());
  for (std::size_t i = 0; i < w.rows; ++i) {
    float* wr = w.row(i);
    const float* g = dw.row(i);
    for (std::size_t j = 0; j < w.cols; ++j) wr[j] = wr[j] + g[j] * neg_lr;
  }
  for (std::size_t j = 0; j < b.size(); ++j) b[j] = b[j] + db[j] * neg_lr;
}

}  // namespace kemb::sgd
