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

  // Shortest round-trip digits in scientific form, "d[.ddd]e(+|-)xx", written
  // from sci[1] on and laid out straight from there: the first digit is
  // sci[1], the others (if any) sci[3..e).
  char sci[kMaxFloatText];
  const char* const end =
      std::to_chars(sci + 1, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* e = sci + 2;
  while (*e != 'e') ++e;
  // With more than one digit, the first one overwrites the point so that
  // all of them run from sci[2] to e.
  int n = 1;
  if (e != sci + 2) {
    sci[2] = sci[1];
    n = static_cast<int>(e - (sci + 2));
  }
  const char* digits = n == 1 ? sci + 1 : sci + 2;
  const bool negative_exponent = e[1] == '-';
  int exponent = 0;
  for (const char* p = e + 2; p < end; ++p) exponent = exponent * 10 + (*p - '0');
  if (negative_exponent) exponent = -exponent;
  while (n > 1 && digits[n - 1] == '0') --n;  // shortest digits never end in 0; stay safe
  return layout_digits(digits, n, exponent + 1, out);
}

}  // namespace kemb::persistence
