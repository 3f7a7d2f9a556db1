// The ChaCha block function, the per-thread generator and its seeding.
#include "random/chacha.hpp"
#include "support.hpp"

namespace kemb::random {
namespace {

using test::message_of;

TEST(chacha, block_function_matches_published_vector) {
  // ChaCha20 block test vector (RFC 7539, 2.3.2): key 00..1f, block counter 1,
  // nonce 00000009 0000004a 00000000. In the 64-bit counter layout the first
  // nonce word is the counter's high half.
  ChaCha<20>::Key key{};
  for (std::uint32_t i = 0; i < 8; ++i) {
    key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
  }
  const ChaCha<20> chacha(key, 0, 0x4a000000u);
  std::uint32_t out[16];
  chacha.block((std::uint64_t{0x09000000u} << 32) | 1u, out);
  // clang-format off
  const std::uint32_t expected[16] = {
      0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
      0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  // clang-format on
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], expected[i]) << "word " << i;
}

// Single draws and bulk fills (past the first blocks, where the fill may
// take several blocks at once) are the blocks' words in order, in pairs.
TEST(chacha, single_and_bulk_draws_are_the_blocks_in_order) {
  const ChaCha<12>::Key key = {1, 2, 3, 4, 5, 6, 7, 8};
  ChaCha<12> single(key), bulk(key);
  std::vector<std::uint64_t> expected;
  for (std::uint64_t b = 0; b < 130; ++b) {
    std::uint32_t block[16];
    single.block(b, block);
    for (int i = 0; i < 16; i += 2)
      expected.push_back(block[i] | (std::uint64_t{block[i + 1]} << 32));
  }
  std::vector<std::uint64_t> values(expected.size() - 3);
  bulk.fill_u64(values.data(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(values[i], expected[i]) << i;
    ASSERT_EQ(single.next_u64(), expected[i]) << i;
  }
  EXPECT_EQ(bulk.bytes_used(), single.bytes_used());
}

TEST(thread_rng, seed_parsing) {
  EXPECT_EQ(parse_seed("0"), 0u);
  EXPECT_EQ(parse_seed(" 42 "), 42u);
  EXPECT_EQ(parse_seed("18446744073709551615"), 18446744073709551615u);
  for (const char* bad : {"", "-1", "+1", "1.5", "abc", "18446744073709551616", "12 34"}) {
    EXPECT_EQ(message_of([&] { parse_seed(bad); }),
              "KEMB_SEED must be an unsigned 64-bit integer, got \"" + std::string(bad) + "\"");
  }
}

// Draw beyond the rekeying threshold: a seeded generator repeats them all,
// one keyed from entropy does not.
TEST(thread_rng, seeded_generator_repeats_and_entropy_does_not) {
  const auto draws = [](std::size_t n) {
    detail::reset_thread_rng();
    std::vector<std::uint64_t> values(n);
    fill_u64(values.data(), values.size());
    return values;
  };
  {
    test::SeededRng seeded("7");
    EXPECT_EQ(draws(20000), draws(20000));
  }
  EXPECT_NE(draws(4), draws(4));
}

}  // namespace
}  // namespace kemb::random
