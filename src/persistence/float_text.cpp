// Float text of the model file, the reading side: number tokens as a double,
// then rounded to float32.
#include "persistence/float_text.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace kemb::persistence {
namespace {

// True when a number token that std::from_chars found out of the double
// range is large (overflow) rather than tiny (underflow): the position of
// its first significant digit plus its exponent decides.
bool beyond_double_range_is_large(const char* p, const char* last) {
  if (p < last && *p == '-') ++p;
  long magnitude = 0;  // decimal exponent of the first significant digit, plus one
  bool found = false;
  for (; p < last && *p >= '0' && *p <= '9'; ++p) {
    if (found || *p != '0') {
      found = true;
      ++magnitude;
    }
  }
  if (p < last && *p == '.') {
    for (++p; p < last && *p >= '0' && *p <= '9'; ++p) {
      if (found) continue;
      if (*p != '0') found = true;
      else --magnitude;
    }
  }
  long exponent = 0;
  if (p < last && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative = p < last && *p == '-';
    if (p < last && (*p == '+' || *p == '-')) ++p;
    constexpr long kClamp = 1L << 40;  // far beyond any double exponent
    for (; p < last && *p >= '0' && *p <= '9'; ++p) {
      if (exponent < kClamp) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent > 0;
}

}  // namespace

float parse_float(const char* first, const char* last) noexcept {
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  const bool negative = first < last && *first == '-';
  double value = 0.0;
  const auto result = std::from_chars(first, last, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    const bool large = beyond_double_range_is_large(first, last);
    if (large) return negative ? -kInfinity : kInfinity;
    return negative ? -0.0f : 0.0f;
  }
  // Doubles from 2^128 - 2^103 upwards round to infinity as float32; the
  // explicit test keeps the conversion within the range where it is defined.
  constexpr double kFloatOverflow = 0x1.ffffffp127;
  if (std::fabs(value) >= kFloatOverflow) return value < 0 ? -kInfinity : kInfinity;
  return static_cast<float>(value);
}

}  // namespace kemb::persistence
