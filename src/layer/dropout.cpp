// Dropout forward and backward. The mask and the masked output are produced
// in one pass over the input, block by block as the draws arrive.
#include "layer/dropout.hpp"

#include "random/bernoulli.hpp"
#include "tensor/elementwise.hpp"

namespace kemb::dropout {

using tensor::Matrix;

namespace {

// NaN is neither.
void check_probability(float p) {
  if (!(p >= 0.0f)) io::throw_result_error("ProbabilityTooSmall");
  if (!(p <= 1.0f)) io::throw_result_error("ProbabilityTooLarge");
}

// Mask value of an element that survives, b / p with b = 1 in float32, and 0
// for p == 0: with nothing kept every mask value is 0 rather than 0/0.
float kept_value(float p) noexcept { return p == 0.0f ? 0.0f : 1.0f / p; }

}  // namespace

void forward(Matrix& out, Matrix& binary_mask, const Matrix& input, float keep_probability,
             bool training) {
  if (!training) {
    tensor::copy_into(out, input);
    return;
  }
  const float p = keep_probability;
  check_probability(p);
  const random::Bernoulli keep(static_cast<double>(p));
  // A dropped element is 0 / p, which is +0 for every p > 0; p == 0 drops
  // everything and also yields +0.
  binary_mask.reshape_for_overwrite(input.rows, input.cols);
  out.reshape_for_overwrite(input.rows, input.cols);
  random::bernoulli_fill(binary_mask.data.data(), out.data.data(), input.data.data(), input.size(),
                         keep, kept_value(p), 0.0f);
}

void backward(Matrix& dinputs, const Matrix& dvalues, const Matrix& binary_mask,
              bool want_dinputs) {
  if (!want_dinputs) {
    tensor::check_covers(binary_mask, dvalues.rows, dvalues.cols);
    return;
  }
  tensor::multiply(dinputs, dvalues, binary_mask);
}

}  // namespace kemb::dropout
