// Dense forward and backward, with the regularizer terms of the gradients.
#include "layer/dense.hpp"

#include "tensor/elementwise.hpp"
#include "tensor/gemm.hpp"

namespace kemb::dense {

using tensor::Matrix;
using tensor::Rows;
using tensor::Transpose;
using tensor::Vector;

namespace {

// dparams: (rows, cols), params read at the same 2-D positions (weights, or
// biases as one row). Sign term s x l1 (s = -1 where p < 0, else +1: zero
// and NaN count as +1), then p x (l2 + l2).
void add_regularizers(Rows<float> dparams, Rows<const float> params, float l1, float l2) {
  if (!(l1 > 0.0f) && !(l2 > 0.0f)) return;
  tensor::check_covers(params, dparams.rows, dparams.cols);
  for (std::size_t i = 0; i < dparams.rows; ++i) {
    const float* p = params.row(i);
    float* d = dparams.row(i);
    if (l1 > 0.0f) {
      for (std::size_t j = 0; j < dparams.cols; ++j) {
        const float s = p[j] < 0.0f ? -1.0f : 1.0f;
        d[j] = d[j] + s * l1;
      }
    }
    if (l2 > 0.0f) {
      const float twice = l2 + l2;
      for (std::size_t j = 0; j < dparams.cols; ++j) d[j] = d[j] + p[j] * twice;
    }
  }
}

}  // namespace

void forward(Matrix& out, const Matrix& inputs, const Matrix& weights, const Vector& biases) {
  tensor::gemm(out, inputs, Transpose::no, weights, Transpose::no);
  if (out.rows == 0) return;
  tensor::check_covers(biases, out.cols);
  const float* b = biases.data.data();
  for (std::size_t i = 0; i < out.rows; ++i) {
    float* o = out.row(i);
    for (std::size_t j = 0; j < out.cols; ++j) o[j] += b[j];
  }
}

void forward_rectified(Matrix& raw, Matrix& out, const Matrix& inputs, const Matrix& weights,
                       const Vector& biases) {
  tensor::gemm(raw, inputs, Transpose::no, weights, Transpose::no);
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

void backward(Matrix& dweights, Vector& dbiases, Matrix& dinputs, const Matrix& dvalues,
              const Matrix& inputs, const Matrix& weights, const Vector& biases,
              const Regularizers& regularizers, bool want_dinputs) {
  tensor::gemm(dweights, inputs, Transpose::yes, dvalues, Transpose::no);
  tensor::column_sums(dbiases, dvalues);
  add_regularizers(rows_of(dweights), rows_of(weights), regularizers.weight_l1,
                   regularizers.weight_l2);
  add_regularizers(rows_of(dbiases), rows_of(biases), regularizers.bias_l1, regularizers.bias_l2);
  if (want_dinputs) {
    tensor::gemm(dinputs, dvalues, Transpose::no, weights, Transpose::yes);
  } else {
    // Nobody reads the first layer's input gradient, but a product that
    // could not be formed still fails as it would have.
    tensor::check_product(dvalues, Transpose::no, weights, Transpose::yes);
  }
}

}  // namespace kemb::dense
