// Per-thread generator state, keying from the entropy source or KEMB_SEED, and
// rekeying after a fixed amount of output or a fork.
#include "random/thread_rng.hpp"

#include <pthread.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <string>

#include "io/error.hpp"
#include "os/entropy.hpp"
#include "os/error_text.hpp"
#include "random/chacha.hpp"
#include "random/detail.hpp"

namespace kemb::random {

using io::Error;

namespace {

using Generator = ChaCha<12>;
constexpr std::uint64_t kRekeyBytes = 64 * 1024;

// Bumped in the child after fork(), so that parent and child never share a
// stream.
std::atomic<std::uint64_t> g_fork_generation{0};

void on_fork_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

// Registered while the library loads, as every fork handler of kemb's.
const int fork_handler = pthread_atfork(nullptr, nullptr, on_fork_child);

Generator::Key entropy_key() {
  Generator::Key key{};
  if (const int error = os::fill_entropy(key.data(), sizeof key); error != 0) {
    throw Error(std::string("could not read the operating system's entropy source: ") +
                os::error_text(error));
  }
  return key;
}

// splitmix64: spreads one 64-bit seed over the 256-bit key.
Generator::Key seeded_key(std::uint64_t seed) {
  Generator::Key key{};
  std::uint64_t state = seed;
  for (std::size_t i = 0; i < key.size(); i += 2) {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    key[i] = static_cast<std::uint32_t>(z);
    key[i + 1] = static_cast<std::uint32_t>(z >> 32);
  }
  return key;
}

struct ThreadRng {
  Generator generator;
  bool seeded_by_user;
  std::uint64_t fork_generation;
  std::uint64_t rekey_at;  // bytes_used() at which to take a fresh key
};

ThreadRng make_thread_rng() {
  const std::uint64_t generation = g_fork_generation.load(std::memory_order_relaxed);
  if (const char* text = std::getenv("KEMB_SEED"); text != nullptr) {
    return ThreadRng{Generator(seeded_key(parse_seed(text))), true, generation, 0};
  }
  return ThreadRng{Generator(entropy_key()), false, generation, kRekeyBytes};
}

thread_local std::optional<ThreadRng> t_rng;

Generator& generator() {
  if (!t_rng) t_rng.emplace(make_thread_rng());
  ThreadRng& rng = *t_rng;
  if (!rng.seeded_by_user) {
    const std::uint64_t generation = g_fork_generation.load(std::memory_order_relaxed);
    if (generation != rng.fork_generation || rng.generator.bytes_used() >= rng.rekey_at) {
      rng.generator = Generator(entropy_key());
      rng.fork_generation = generation;
      rng.rekey_at = kRekeyBytes;
    }
  }
  return rng.generator;
}

}  // namespace

std::uint64_t next_u64() { return generator().next_u64(); }

void fill_u64(std::uint64_t* out, std::size_t n) {
  // Large requests are served in slices so that rekeying keeps its cadence.
  constexpr std::size_t kSlice = kRekeyBytes / sizeof(std::uint64_t);
  while (n > 0) {
    const std::size_t take = n < kSlice ? n : kSlice;
    generator().fill_u64(out, take);
    out += take;
    n -= take;
  }
}

std::uint64_t parse_seed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  std::uint64_t seed = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  const auto [end, ec] = std::from_chars(first, last, seed);
  if (text.empty() || ec != std::errc() || end != last) {
    throw Error("KEMB_SEED must be an unsigned 64-bit integer, got \"" + std::string(text) + "\"");
  }
  return seed;
}

void detail::reset_thread_rng() { t_rng.reset(); }

}  // namespace kemb::random
