// ChaCha block function. Sixteen blocks are computed side by side with the
// block index as the innermost loop, which the compiler turns into vector
// instructions; the output is identical to computing the blocks one by one.
// The block function is compiled for AVX-512, AVX2 and baseline x86-64 and
// the loader picks the best the CPU has: dropout masks draw 64 bits per
// element, so keystream speed bounds their cost.
#include "random/chacha.hpp"

#include <cstring>

#include "random/clones.hpp"

namespace kemb::random {
namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
constexpr std::size_t kLanes = 16;

inline std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// x: 16 state words, each holding kLanes independent blocks.
inline void quarter_round(std::uint32_t (*x)[kLanes], int a, int b, int c, int d) {
  for (std::size_t l = 0; l < kLanes; ++l) {
    x[a][l] += x[b][l];
    x[d][l] = rotl(x[d][l] ^ x[a][l], 16);
    x[c][l] += x[d][l];
    x[b][l] = rotl(x[b][l] ^ x[c][l], 12);
    x[a][l] += x[b][l];
    x[d][l] = rotl(x[d][l] ^ x[a][l], 8);
    x[c][l] += x[d][l];
    x[b][l] = rotl(x[b][l] ^ x[c][l], 7);
  }
}

// out: kLanes consecutive blocks starting at `counter`, block after block.
KEMB_CLONES
void blocks_rounds(const std::uint32_t* key, std::uint64_t stream, std::uint64_t counter,
                   int rounds, std::uint32_t* out) {
  std::uint32_t input[16][kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) {
    const std::uint64_t c = counter + l;
    for (int w = 0; w < 4; ++w) input[w][l] = kSigma[w];
    for (int w = 0; w < 8; ++w) input[4 + w][l] = key[w];
    input[12][l] = static_cast<std::uint32_t>(c);
    input[13][l] = static_cast<std::uint32_t>(c >> 32);
    input[14][l] = static_cast<std::uint32_t>(stream);
    input[15][l] = static_cast<std::uint32_t>(stream >> 32);
  }
  std::uint32_t x[16][kLanes];
  std::memcpy(x, input, sizeof x);
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (std::size_t l = 0; l < kLanes; ++l) {
    for (int w = 0; w < 16; ++w) out[l * 16 + w] = x[w][l] + input[w][l];
  }
}

template <int Rounds>
void blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t stream, std::uint64_t counter,
            std::uint32_t* out) {
  blocks_rounds(key.data(), stream, counter, Rounds, out);
}

}  // namespace

template <int Rounds>
ChaCha<Rounds>::ChaCha(const Key& key, std::uint64_t counter, std::uint64_t stream)
    : key_(key), stream_(stream), counter_(counter) {}

template <int Rounds>
void ChaCha<Rounds>::block(std::uint64_t counter, std::uint32_t* out) const {
  // The block function always computes kLanes blocks; the first is `counter`.
  std::uint32_t lanes[kBlockWords * kLanes];
  blocks<Rounds>(key_, stream_, counter, lanes);
  std::memcpy(out, lanes, kBlockWords * sizeof(std::uint32_t));
}

template <int Rounds>
void ChaCha<Rounds>::refill() {
  static_assert(kBlocksPerRefill == kLanes);
  blocks<Rounds>(key_, stream_, counter_, buffer_.data());
  counter_ += kBlocksPerRefill;
  index_ = 0;
}

template <int Rounds>
std::uint64_t ChaCha<Rounds>::next_u64() {
  if (index_ + 1 >= kBufferWords) refill();  // values are word pairs: index_ stays even
  const std::uint64_t lo = buffer_[index_];
  const std::uint64_t hi = buffer_[index_ + 1];
  index_ += 2;
  bytes_used_ += 8;
  return lo | (hi << 32);
}

template <int Rounds>
void ChaCha<Rounds>::fill_u64(std::uint64_t* out, std::size_t n) {
  bytes_used_ += 8 * static_cast<std::uint64_t>(n);
  while (n > 0) {
    if (index_ + 1 >= kBufferWords) refill();
    std::size_t take = (kBufferWords - index_) / 2;
    if (take > n) take = n;
    const std::uint32_t* words = buffer_.data() + index_;
    for (std::size_t i = 0; i < take; ++i) {
      out[i] = static_cast<std::uint64_t>(words[2 * i]) |
               (static_cast<std::uint64_t>(words[2 * i + 1]) << 32);
    }
    out += take;
    n -= take;
    index_ += 2 * take;
  }
}

template class ChaCha<12>;
template class ChaCha<20>;

}  // namespace kemb::random
