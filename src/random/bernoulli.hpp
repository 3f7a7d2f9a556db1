// Bernoulli draws for dropout masks: one 64-bit value of the thread's
// generator per draw, compared against a threshold derived from the
// probability in double precision.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kemb::random {

// A draw u keeps (b = 1) when u < threshold, which gives probability
// floor(p x 2^64) / 2^64, within 2^-64 of p. p must lie in [0, 1]; p == 1
// keeps always and consumes no draw.
class Bernoulli {
 public:
  explicit Bernoulli(double p);

  bool always() const noexcept { return always_; }
  std::uint64_t threshold() const noexcept { return threshold_; }

 private:
  bool always_;
  std::uint64_t threshold_;
};

// x: (n) -> mask, out: (n)
// For k in [0, n): mask[k] := (draw k keeps) ? kept : dropped, and then
// out[k] := x[k] x mask[k] when `x` is not null (one float32 product per
// element). Draws come in row-major element order from the thread's
// generator.
void bernoulli_fill(float* mask, float* out, const float* x, std::size_t n, const Bernoulli& b,
                    float kept, float dropped);

}  // namespace kemb::random
