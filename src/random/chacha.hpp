// ChaCha stream generator (D. J. Bernstein's original layout: 64-bit block
// counter in words 12-13, 64-bit stream id in words 14-15). The library uses
// 12 rounds; the round count is a parameter so that the tests can check the
// block function against the published 20-round vectors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kemb::random {

template <int Rounds>
class ChaCha {
 public:
  static_assert(Rounds > 0 && Rounds % 2 == 0, "ChaCha runs whole double rounds");
  using Key = std::array<std::uint32_t, 8>;
  static constexpr std::size_t kBlockWords = 16;
  static constexpr std::size_t kBlocksPerRefill = 16;
  static constexpr std::size_t kBufferWords = kBlockWords * kBlocksPerRefill;

  explicit ChaCha(const Key& key, std::uint64_t counter = 0, std::uint64_t stream = 0);

  // Writes the keystream of the block at `counter` (16 words) into `out`.
  void block(std::uint64_t counter, std::uint32_t* out) const;

  std::uint64_t next_u64();
  // n values, the same as n calls of next_u64 but without per-call overhead.
  void fill_u64(std::uint64_t* out, std::size_t n);

  // Bytes of keystream handed out so far.
  std::uint64_t bytes_used() const noexcept { return bytes_used_; }

 private:
  void refill();

  Key key_;
  std::uint64_t stream_;
  std::uint64_t counter_;  // next block to generate
  std::array<std::uint32_t, kBufferWords> buffer_{};
  std::size_t index_ = kBufferWords;  // next unused word of buffer_
  std::uint64_t bytes_used_ = 0;
};

extern template class ChaCha<12>;
extern template class ChaCha<20>;

}  // namespace kemb::random
