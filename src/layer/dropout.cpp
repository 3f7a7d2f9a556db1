// Dropout forward and backward. The mask and the masked output are produced
// in one pass over the input, block by block as the draws arrive.
#include "layer/dropout.hpp"

#include "random/bernoulli.hpp"
#include "tensor/elementwise.hpp"

namespace kemb::dropout {

using io::throw_result_error;
using tensor::Matrix;

void check_probability(float p) {
  if (!(p >= 0.0f)) throw_result_error("ProbabilityTooSmall");
  if (!(p <= 1.0f)) throw_result_error("ProbabilityTooLarge");
}

float kept_value(float p) noexcept { return p == 0.0f ? 0.0f : 1.0f / p; }

void forward(Layer& layer, const Matrix& input, bool training, Matrix& out) {
  tensor::copy_into(input, layer.inputs);
  if (!training) {
    tensor::copy_into(input, out);
    return;
  }
  const float p = layer.dropout_rate;
  check_probability(p);
  const random::Bernoulli keep(static_cast<double>(p));
  // A dropped element is 0 / p, which is +0 for every p > 0; p == 0 drops
  // everything and also yields +0.
  Matrix& mask = layer.binary_mask;
  mask.reshape_for_overwrite(input.rows, input.cols);
  out.reshape_for_overwrite(input.rows, input.cols);
  random::bernoulli_fill(keep, kept_value(p), 0.0f, input.size(), mask.data.data(),
                         input.data.data(), out.data.data());
}

void backward(const Matrix& binary_mask, const Matrix& dvalues, Matrix& dinputs,
              bool want_dinputs) {
  if (!want_dinputs) {
    tensor::check_covers(binary_mask, dvalues.rows, dvalues.cols);
    return;
  }
  tensor::multiply(dvalues, binary_mask, dinputs);
}

}  // namespace kemb::dropout
