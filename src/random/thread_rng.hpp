// The per-thread random generator: ChaCha with 12 rounds, keyed from the
// operating system's entropy source and rekeyed from it after every 64 KiB
// of output and after fork(). When the environment variable KEMB_SEED holds
// an unsigned 64-bit integer, every thread's generator is keyed from it
// instead and never rekeyed, so a run is reproducible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kemb::random {

// Next 64 random bits from the calling thread's generator.
std::uint64_t next_u64();

// n values, as n calls of next_u64.
void fill_u64(std::uint64_t* out, std::size_t n);

// Parses a KEMB_SEED value: decimal digits of an unsigned 64-bit integer,
// surrounding blanks allowed. Raises kemb::Error for anything else.
std::uint64_t parse_seed(std::string_view text);

}  // namespace kemb::random
