// Cross-entropy loss and gradient. Only the labelled element of each row
// enters the loss, so only that element is clipped: clipping the others
// could not change the result.
#include "loss/categorical_crossentropy.hpp"

#include <math.h>

#include <bit>
#include <cstdint>

#include "tensor/elementwise.hpp"

namespace kemb::categorical_crossentropy {

using io::throw_index_out_of_bounds;
using tensor::Labels;
using tensor::Matrix;

namespace {

static_assert(std::bit_cast<std::uint32_t>(kClipLow) == 0x33D6BF95u);
static_assert(std::bit_cast<std::uint32_t>(kClipHigh) == 0x3F7FFFFEu);

// Column of row i named by its label, after the checks the loss and the
// gradient share.
std::size_t label_column(const Matrix& output, const Labels& labels, std::size_t i) {
  const std::int32_t label = labels[i];
  if (i >= output.rows || label < 0 || static_cast<std::size_t>(label) >= output.cols) {
    throw_index_out_of_bounds();
  }
  return static_cast<std::size_t>(label);
}

float clip(float x) {
  if (x < kClipLow) return kClipLow;
  if (x > kClipHigh) return kClipHigh;
  return x;  // NaN included
}

}  // namespace

float calculate(const Matrix& output, const Labels& labels) {
  float total = 0.0f;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const float c = clip(output(i, label_column(output, labels, i)));
    total += -::logf(c);  // single-precision C library log
  }
  return total / static_cast<float>(labels.size());
}

void backward(Matrix& d, const Matrix& output, const Labels& labels) {
  // Every label is checked before anything is written, so that `d` may be
  // the output itself.
  for (std::size_t i = 0; i < labels.size(); ++i) label_column(output, labels, i);
  tensor::copy_into(d, output);
  for (std::size_t i = 0; i < labels.size(); ++i) {
    d(i, static_cast<std::size_t>(labels[i])) += -1.0f;
  }
  const float n = static_cast<float>(d.rows);
  for (float& x : d.data) x = x / n;
}

}  // namespace kemb::categorical_crossentropy
