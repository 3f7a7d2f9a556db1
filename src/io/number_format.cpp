// Fixed and integer number text over std::to_chars; the shortest form comes
// from float_text.
#include "io/number_format.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include "io/float_text.hpp"

namespace kemb::io {
namespace {

// Appends NaN or an infinity in the report form; false for finite values.
bool append_special(std::string& out, float value) {
  if (std::isnan(value)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out += value < 0.0f ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

void append_fixed(std::string& out, float value, int digits) {
  if (append_special(out, value)) return;
  // float -> double is exact, and to_chars with a precision rounds the exact
  // binary value to nearest with ties to even. A float32 has at most 39
  // integer digits.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                                    std::chars_format::fixed, digits);
  out.append(buffer, result.ptr);
}

void append_shortest(std::string& out, float value) {
  char buffer[kMaxPositionalText];
  out.append(buffer, format_positional(value, buffer));
}

void append_right_aligned(std::string& out, std::uint64_t value, int width) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  const int length = static_cast<int>(result.ptr - buffer);
  if (length < width) out.append(static_cast<std::size_t>(width - length), ' ');
  out.append(buffer, result.ptr);
}

void append_integer(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace kemb::io
