// float_text: the shortest round-trip decimal of a float32 and the two ways
// it is printed, the model file's number text and the report's positional
// form. Every float this library writes as text goes through here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kemb::io {

// value = digits x 10^exponent, digits without trailing zeros.
struct Decimal {
  std::uint32_t digits;
  int exponent;
};

// The decimal with the fewest significant digits that reads back (round to
// nearest, ties to even) as the same float32; of two such, the one nearer to
// the exact value, and on an exact tie the one with the even last digit. The
// sign is ignored; `value` must be finite and not zero.
Decimal shortest_decimal(float value) noexcept;

// Room that the writers below may use at `out`. The longest model file texts
// are 17 bytes ("-0.0000012345678"), but the writers store digits in fixed
// blocks past the end of the text.
inline constexpr std::size_t kMaxFloatText = 32;
// The longest report text is 48 bytes (the smallest subnormal, with sign).
inline constexpr std::size_t kMaxPositionalText = 64;

// Writes the model file text of `value` at `out` and returns its end. With
// d the n shortest digits and e the exponent of value = 0.d x 10^e
// (k = e - n), after a minus sign for a negative value:
//   zero                    0.0 / -0.0
//   k >= 0 and e <= 13      digits, k zeros, ".0"        100.0
//   0 < e <= 13             digits with a point inside   1234.5
//   -6 < e <= 0             "0.", -e zeros, digits       0.001
//   n = 1                   digit "e" (e - 1)            1e-7, 1e13
//   otherwise               d.ddd "e" (e - 1)            3.4028235e38
// NaN and the infinities have no JSON number: they are written as null.
char* format_float(float value, char* out) noexcept;

// Writes the report text of `value` at `out` and returns its end: the
// shortest digits in plain positional notation, never an exponent, no point
// for whole numbers (0.001, 1, 0.0000001, 100000000000000000000); zero as 0,
// negative zero as -0, NaN as NaN, the infinities as inf and -inf.
char* format_positional(float value, char* out) noexcept;

}  // namespace kemb::io
