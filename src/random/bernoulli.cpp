// Bulk Bernoulli draws: the generator fills a block of 64-bit values, then a
// branch-free loop turns them into mask values (and masked outputs). This
// keeps the per-element cost at a compare and a select.
#include "random/bernoulli.hpp"

#include <cmath>

#include "random/clones.hpp"
#include "random/thread_rng.hpp"

namespace kemb::random {
namespace {

// Number of draws asked of the generator at a time.
constexpr std::size_t kChunk = 2048;

// draws, x: (n) -> mask, out: (n); out is written only when x is not null.
KEMB_CLONES
void mask_block(float* mask, float* out, const std::uint64_t* draws, const float* x, std::size_t n,
                std::uint64_t threshold, float kept, float dropped) {
  for (std::size_t k = 0; k < n; ++k) mask[k] = draws[k] < threshold ? kept : dropped;
  if (x != nullptr) {
    for (std::size_t k = 0; k < n; ++k) out[k] = x[k] * mask[k];
  }
}

}  // namespace

Bernoulli::Bernoulli(double p) : always_(p >= 1.0), threshold_(0) {
  if (!always_ && p > 0.0) {
    // p x 2^64 is exact in double; below 2^64 the conversion truncates.
    threshold_ = static_cast<std::uint64_t>(std::ldexp(p, 64));
  }
}

void bernoulli_fill(float* mask, float* out, const float* x, std::size_t n, const Bernoulli& b,
                    float kept, float dropped) {
  if (b.always()) {
    for (std::size_t k = 0; k < n; ++k) mask[k] = kept;
    if (x != nullptr) {
      for (std::size_t k = 0; k < n; ++k) out[k] = x[k] * kept;
    }
    return;
  }
  std::uint64_t draws[kChunk];
  const std::uint64_t threshold = b.threshold();
  for (std::size_t start = 0; start < n; start += kChunk) {
    const std::size_t len = n - start < kChunk ? n - start : kChunk;
    fill_u64(draws, len);
    mask_block(mask + start, x == nullptr ? nullptr : out + start, draws,
               x == nullptr ? nullptr : x + start, len, threshold, kept, dropped);
  }
}

}  // namespace kemb::random
