// Number forms of the printed reports. All of them append to a buffer so
// that a whole line is built before it is written.
#pragma once

#include <cstdint>
#include <string>

namespace kemb::io {

// `value` with exactly `digits` digits after the decimal point, rounded to
// nearest from the exact float32 value (an exact tie goes to the even
// digit), never with an exponent (1e20 prints all 21 digits). NaN is "NaN",
// infinities "inf" and "-inf".
void append_fixed(std::string& out, float value, int digits);

// The shortest decimal that reads back as the same float32, in plain
// positional notation without exponent, and without a decimal point for
// whole numbers: 0.001, 1, 0.0000001, 100000000000000000000. NaN is "NaN",
// infinities "inf" and "-inf", negative zero "-0".
void append_shortest(std::string& out, float value);

// `value` in decimal, right-aligned in a field of `width` characters padded
// with blanks; longer numbers take the room they need.
void append_right_aligned(std::string& out, std::uint64_t value, int width);

// `value` in decimal with a minus sign when negative.
void append_integer(std::string& out, std::int64_t value);

// Lower-case hexadecimal digits by value: JSON escapes and file names.
inline constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace kemb::io
