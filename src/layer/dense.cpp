// Dense forward and backward, with the regularizer terms of the gradients.
#include "layer/dense.hpp"

#include "tensor/elementwise.hpp"
#include "tensor/gemm.hpp"

namespace kemb::dense {

using tensor::Matrix;
using tensor::Vector;

namespace {

using tensor::Transpose;

// dweights: (n_inputs, n_neurons), weights read at the same positions.
// Sign term s x l1 (s = -1 where w < 0, else +1: zero and NaN count as +1),
// then w x (l2 + l2).
void add_weight_regularizers(const Layer& layer, Matrix& dweights) {
  const float l1 = layer.weight_regularizer_l1;
  const float l2 = layer.weight_regularizer_l2;
  if (!(l1 > 0.0f) && !(l2 > 0.0f)) return;
  const Matrix& w = layer.weights;
  tensor::check_covers(w, dweights.rows, dweights.cols);
  for (std::size_t i = 0; i < dweights.rows; ++i) {
    const float* wr = w.row(i);
    float* d = dweights.row(i);
    if (l1 > 0.0f) {
      for (std::size_t j = 0; j < dweights.cols; ++j) {
        const float s = wr[j] < 0.0f ? -1.0f : 1.0f;
        d[j] = d[j] + s * l1;
      }
    }
    if (l2 > 0.0f) {
      const float twice = l2 + l2;
      for (std::size_t j = 0; j < dweights.cols; ++j) d[j] = d[j] + wr[j] * twice;
    }
  }
}

// dbiases: (n_neurons), biases read at the same positions.
void add_bias_regularizers(const Layer& layer, Vector& dbiases) {
  const float l1 = layer.bias_regularizer_l1;
  const float l2 = layer.bias_regularizer_l2;
  if (!(l1 > 0.0f) && !(l2 > 0.0f)) return;
  const Vector& b = layer.biases;
  tensor::check_covers(b, dbiases.size());
  if (l1 > 0.0f) {
    for (std::size_t j = 0; j < dbiases.size(); ++j) {
      const float s = b[j] < 0.0f ? -1.0f : 1.0f;
      dbiases[j] = dbiases[j] + s * l1;
    }
  }
  if (l2 > 0.0f) {
    const float twice = l2 + l2;
    for (std::size_t j = 0; j < dbiases.size(); ++j) dbiases[j] = dbiases[j] + b[j] * twice;
  }
}

}  // namespace

void forward(const Matrix& inputs, const Matrix& weights, const Vector& biases, Matrix& out) {
  tensor::gemm(inputs, Transpose::no, weights, Transpose::no, out);
  if (out.rows == 0) return;
  tensor::check_covers(biases, out.cols);
  const float* b = biases.data.data();
  for (std::size_t i = 0; i < out.rows; ++i) {
    float* o = out.row(i);
    for (std::size_t j = 0; j < out.cols; ++j) o[j] += b[j];
  }
}

void forward_rectified(const Matrix& inputs, const Matrix& weights, const Vector& biases,
                       Matrix& raw, Matrix& out) {
  tensor::gemm(inputs, Transpose::no, weights, Transpose::no, raw);
  out.reshape_for_overwrite(raw.rows, raw.cols);
  if (raw.rows == 0) return;
  tensor::check_covers(biases, raw.cols);
  const float* b = biases.data.data();
  for (std::size_t i = 0; i < raw.rows; ++i) {
    float* r = raw.row(i);
    float* o = out.row(i);
    for (std::size_t j = 0; j < raw.cols; ++j) {
      const float z = r[j] + b[j];
      r[j] = z;
      o[j] = z < 0.0f ? 0.0f : z;
    }
  }
}

Matrix forward(const Matrix& inputs, const Matrix& weights, const Vector& biases) {
  Matrix out;
  forward(inputs, weights, biases, out);
  return out;
}

void backward(Layer& layer, const Matrix& dvalues, Matrix& dinputs, bool want_dinputs) {
  tensor::gemm(layer.inputs, Transpose::yes, dvalues, Transpose::no, layer.dweights);
  tensor::column_sums(dvalues, layer.dbiases);
  add_weight_regularizers(layer, layer.dweights);
  add_bias_regularizers(layer, layer.dbiases);
  if (want_dinputs) {
    tensor::gemm(dvalues, Transpose::no, layer.weights, Transpose::yes, dinputs);
  } else {
    // Nobody reads the first layer's input gradient, but a product that
    // could not be formed still fails as it would have.
    tensor::check_product(dvalues, Transpose::no, layer.weights, Transpose::yes);
  }
}

Matrix backward(Layer& layer, const Matrix& dvalues) {
  Matrix dinputs;
  backward(layer, dvalues, dinputs);
  return dinputs;
}

}  // namespace kemb::dense
