// Categorical accuracy.
#include "accuracy/categorical.hpp"

#include <cstdint>

namespace kemb::accuracy {

using io::throw_sequence_index;
using tensor::Labels;

float categorical(const Labels& predictions, const Labels& labels) {
  const std::size_t n = predictions.size();
  if (labels.size() < n) throw_sequence_index(labels.size(), labels.size());
  std::int64_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += predictions[i] == labels[i] ? 1 : 0;
  return static_cast<float>(count) / static_cast<float>(n);
}

}  // namespace kemb::accuracy
