// Tolerance accuracy of the linear model.
#include "accuracy/linear.hpp"

#include <cmath>
#include <cstdint>

#include "tensor/elementwise.hpp"

namespace kemb::accuracy {

using tensor::Vector;

float linear(const Vector& predictions, const Vector& targets, float precision) {
  const std::size_t n = predictions.size();
  tensor::check_covers(targets, n);
  // The count is a signed 32-bit integer; counting in unsigned arithmetic
  // keeps a (purely theoretical) wrap past 2^31 hits defined.
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (precision >= std::fabs(predictions[i] - targets[i])) ++count;
  }
  return static_cast<float>(static_cast<std::int32_t>(count)) /
         static_cast<float>(targets.size());
}

}  // namespace kemb::accuracy
