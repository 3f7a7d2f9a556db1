// Standard normal variates from a xorshift128+ stream (shift constants 23,
// 17, 26). A dense layer's initial weights come from one such generator,
// seeded with (s - 1, s + 1) for a 64-bit s drawn from the thread's
// generator.
#pragma once

#include <cstdint>

namespace kemb::random {

class XorShift128Plus {
 public:
  XorShift128Plus(std::uint64_t s0, std::uint64_t s1) : s0_(s0), s1_(s1) {}

  std::uint64_t next() {
    std::uint64_t a = s0_;
    const std::uint64_t b = s1_;
    s0_ = b;
    a ^= a << 23;
    s1_ = a ^ b ^ (a >> 17) ^ (b >> 26);
    return s1_ + b;
  }

 private:
  std::uint64_t s0_;
  std::uint64_t s1_;
};

// Standard normal variates by Marsaglia's polar method: each accepted pair
// of uniforms yields two independent variates, handed out one at a time.
class StandardNormal {
 public:
  explicit StandardNormal(XorShift128Plus source) : source_(source) {}

  double next();

 private:
  // Uniform on [0, 1) with 53 random bits.
  double uniform() { return static_cast<double>(source_.next() >> 11) * 0x1.0p-53; }

  XorShift128Plus source_;
  double spare_ = 0.0;
  bool has_spare_ = false;
};

}  // namespace kemb::random
