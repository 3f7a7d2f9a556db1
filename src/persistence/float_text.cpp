// Float text of the model file: layout of the shortest digits, and the
// double-then-float32 reading of number tokens.
#include "persistence/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace kemb::persistence {
namespace {

// Positional forms are used while the decimal exponent stays within these
// bounds: up to 13 integer digits, down to five zeros after the point.
constexpr int kMaxPositionalExponent = 13;
constexpr int kMinPositionalExponent = -5;

char* copy(char* out, const char* text, int n) {
  std::memcpy(out, text, static_cast<std::size_t>(n));
  return out + n;
}

char* fill_zeros(char* out, int n) {
  std::memset(out, '0', static_cast<std::size_t>(n));
  return out + n;
}

// Lays out the n digits `d` (no leading or trailing zeros) of 0.d x 10^e.
char* layout_digits(const char* d, int n, int e, char* out) {
  const int k = e - n;
  if (k >= 0 && e <= kMaxPositionalExponent) {
    out = fill_zeros(copy(out, d, n), k);
    return copy(out, ".0", 2);
  }
  if (e > 0 && e <= kMaxPositionalExponent) {
    out = copy(out, d, e);
    *out++ = '.';
    return copy(out, d + e, n - e);
  }
  if (e <= 0 && e >= kMinPositionalExponent) {
    out = fill_zeros(copy(out, "0.", 2), -e);
    return copy(out, d, n);
  }
  *out++ = d[0];
  if (n > 1) {
    *out++ = '.';
    out = copy(out, d + 1, n - 1);
  }
  *out++ = 'e';
  return std::to_chars(out, out + 8, e - 1).ptr;
}

}  // namespace

char* format_float(float value, char* out) noexcept {
  if (!std::isfinite(value)) return copy(out, "null", 4);
  if (std::signbit(value)) {
    *out++ = '-';
    value = -value;
  }
  if (value == 0.0f) return copy(out, "0.0", 3);

  // Shortest round-trip digits in scientific form: "d[.ddd]e(+|-)xx".
  char sci[kMaxFloatText];
  const char* const end =
      std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  char digits[16];
  int n = 0;
  const char* p = sci;
  digits[n++] = *p++;
  if (*p == '.') {
    for (++p; *p != 'e'; ++p) digits[n++] = *p;
  }
  ++p;  // 'e'
  const bool negative_exponent = *p++ == '-';
  int exponent = 0;
  for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
  if (negative_exponent) exponent = -exponent;
  while (n > 1 && digits[n - 1] == '0') --n;  // shortest digits never end in 0; stay safe
  return layout_digits(digits, n, exponent + 1, out);
}

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
