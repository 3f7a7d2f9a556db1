// Bulk Bernoulli draws: the generator fills a block of 64-bit values, then a
// branch-free loop turns them into mask values (and masked outputs). This
// keeps the per-element cost at a compare and a select.
#include "random/bernoulli.hpp"

#include <cmath>

#include "random/thread_rng.hpp"

namespace kemb::random {

Bernoulli::Bernoulli(double p) : always_(p >= 1.0), threshold_(0) {
  if (!always_ && p > 0.0) {
    // p x 2^64 is exact in double; below 2^64 the conversion truncates.
    threshold_ = static_cast<std::uint64_t>(std::ldexp(p, 64));
  }
}

void bernoulli_fill(const Bernoulli& b, float kept, float dropped, std::size_t n, float* mask,
                    const float* x, float* out) {
  if (b.always()) {
    for (std::size_t k = 0; k < n; ++k) mask[k] = kept;
    if (x != nullptr) {
      for (std::size_t k = 0; k < n; ++k) out[k] = x[k] * kept;
    }
    return;
  }
  std::uint64_t draws[kBernoulliChunk];
  const std::uint64_t threshold = b.threshold();
  for (std::size_t start = 0; start < n; start += kBernoulliChunk) {
    const std::size_t len = n - start < kBernoulliChunk ? n - start : kBernoulliChunk;
    fill_u64(draws, len);
    float* m = mask + start;
    for (std::size_t k = 0; k < len; ++k) m[k] = draws[k] < threshold ? kept : dropped;
    if (x != nullptr) {
      const float* xs = x + start;
      float* o = out + start;
      for (std::size_t k = 0; k < len; ++k) o[k] = xs[k] * m[k];
    }
  }
}

}  // namespace kemb::random
