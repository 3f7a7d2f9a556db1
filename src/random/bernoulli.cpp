// Bulk Bernoulli draws: the generator fills a block of 64-bit values, then a
// branch-free loop turns them into mask values (and masked outputs). This
// keeps the per-element cost at a compare and a select.
#include "random/bernoulli.hpp"

#include <cmath>

#include "random/thread_rng.hpp"

namespace kemb::random {
namespace {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// Unsigned 64-bit compares vectorise only from AVX2 (AVX-512 has them
// natively); baseline x86-64 would run this loop one element at a time.
#define KEMB_MASK_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KEMB_MASK_CLONES
#endif

// draws, x: (n) -> mask, out: (n); out is written only when x is not null.
KEMB_MASK_CLONES
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
  std::uint64_t draws[kBernoulliChunk];
  const std::uint64_t threshold = b.threshold();
  for (std::size_t start = 0; start < n; start += kBernoulliChunk) {
    const std::size_t len = n - start < kBernoulliChunk ? n - start : kBernoulliChunk;
    fill_u64(draws, len);
    mask_block(mask + start, x == nullptr ? nullptr : out + start, draws,
               x == nullptr ? nullptr : x + start, len, threshold, kept, dropped);
  }
}

}  // namespace kemb::random
