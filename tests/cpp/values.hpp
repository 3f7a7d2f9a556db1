// Test support: value-returning forms of the kernels and passes, so that a
// test can write `relu::forward(z)` where the library fills a buffer. They
// only wrap the buffer forms; the library itself never needs them.
#pragma once

#include "activation/linear.hpp"
#include "activation/relu.hpp"
#include "activation/softmax.hpp"
#include "dyn_layer.hpp"
#include "loss/categorical_crossentropy.hpp"
#include "loss/mean_squared_error.hpp"
#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "tensor/gemm.hpp"

namespace kemb {

namespace relu {
inline tensor::Matrix forward(const tensor::Matrix& z) {
  tensor::Matrix out;
  forward(out, z);
  return out;
}
inline tensor::Matrix backward(const tensor::Matrix& activation_inputs, tensor::Matrix dvalues) {
  backward_in_place(dvalues, activation_inputs);
  return dvalues;
}
}  // namespace relu

namespace softmax {
inline tensor::Matrix forward(const tensor::Matrix& z) {
  tensor::Matrix out;
  forward(out, z);
  return out;
}
}  // namespace softmax

namespace linear {
inline tensor::Vector predict(const tensor::Matrix& y) {
  tensor::Vector out;
  predict(out, y);
  return out;
}
}  // namespace linear

namespace categorical_crossentropy {
inline tensor::Matrix backward(const tensor::Matrix& output, const tensor::Labels& labels) {
  tensor::Matrix d;
  backward(d, output, labels);
  return d;
}
}  // namespace categorical_crossentropy

namespace mean_squared_error {
inline tensor::Matrix backward(const tensor::Matrix& output, const tensor::Vector& targets) {
  tensor::Matrix d;
  backward(d, output, targets);
  return d;
}
}  // namespace mean_squared_error

namespace tensor {
// a: (m, k), b: (k, n) -> (m, n)
inline Matrix matmul(const Matrix& a, const Matrix& b) {
  Matrix c;
  gemm(c, a, Transpose::no, b, Transpose::no);
  return c;
}
}  // namespace tensor

namespace ref {
// input: (n_samples, n_features) -> (n_samples, n_outputs)
inline tensor::Matrix forward(Layer& layer, const tensor::Matrix& input, bool training) {
  tensor::Matrix out;
  layer.forward(out, input, training);
  return out;
}
// dvalues: (n_samples, n_outputs) -> dinputs: (n_samples, n_features)
inline tensor::Matrix backward(Layer& layer, tensor::Matrix dvalues) {
  tensor::Matrix dinputs;
  layer.backward(dinputs, dvalues);
  return dinputs;
}
// A whole model pass in a workspace of its own.
template <typename Model>
tensor::Matrix forward(Model& model, const tensor::Matrix& x, bool training) {
  model::Workspace ws;
  return model.forward(x, training, ws);
}
// The classes a model of output kind `output_type` predicts for `output`.
inline tensor::Labels predict(const std::string& output_type, const tensor::Matrix& output) {
  CategoricalModel model;
  model.output_type = output_type;
  tensor::Labels out;
  model.predict(out, output);
  return out;
}
}  // namespace ref

}  // namespace kemb
