// float_text: the text form of a 32-bit float in the model file, both ways.
// Writing takes the shortest round-trip digits from std::to_chars and lays
// them out positionally or with an exponent by the magnitude rules below;
// reading goes through std::from_chars as a double, then rounds to float32.
#pragma once

#include <cstddef>

namespace kemb::persistence {

// Room that format_float may need: "-1.2345678e-45" and "-1234567800000.0"
// are the longest forms; the slack keeps callers' arithmetic simple.
inline constexpr std::size_t kMaxFloatText = 32;

// Writes the text of `value` at `out`, which has room for kMaxFloatText
// bytes, and returns the end. With d the n shortest digits and e the
// exponent of value = 0.d x 10^e (k = e - n):
//   zero                    0.0 / -0.0
//   k >= 0 and e <= 13      digits, k zeros, ".0"        100.0
//   0 < e <= 13             digits with a point inside   1234.5
//   -6 < e <= 0             "0.", -e zeros, digits       0.001
//   n = 1                   digit "e" (e - 1)            1e-7, 1e13
//   otherwise               d.ddd "e" (e - 1)            3.4028235e38
// NaN and the infinities have no JSON number: they are written as null.
char* format_float(float value, char* out) noexcept;

}  // namespace kemb::persistence
