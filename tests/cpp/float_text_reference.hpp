// Reference texts of a float32, independent of src/io/float_text: the
// shortest digits come from std::to_chars in scientific form, and the model
// file and report layouts are written out plainly from their rules. Used by
// tests/cpp/test_float_text.cpp on a sample and by tools/check_float_text on
// every bit pattern, so it writes into caller buffers and never allocates.
#pragma once

#include <charconv>
#include <cmath>
#include <cstring>

namespace kemb::ref {

// Room for either reference text.
inline constexpr int kFloatTextRoom = 64;

// The shortest digits of a finite, non-zero `magnitude`: d at digits[0, n)
// without trailing zeros, and e with magnitude = 0.d x 10^e. Returns n.
inline int to_chars_digits(float magnitude, char* digits, int& e) {
  char sci[32];
  const char* const end =
      std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific).ptr;
  int n = 0;
  const char* p = sci;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  ++p;
  if (*p == '+') ++p;
  int exponent = 0;  // magnitude = d.ddd x 10^exponent
  std::from_chars(p, end, exponent);
  while (n > 1 && digits[n - 1] == '0') --n;
  e = exponent + 1;
  return n;
}

inline char* put(char* out, const char* text, int count) {
  std::memcpy(out, text, static_cast<std::size_t>(count));
  return out + count;
}

inline char* put_zeros(char* out, int count) {
  for (int i = 0; i < count; ++i) *out++ = '0';
  return out;
}

// The model file text: 0.0 / -0.0, null for NaN and the infinities, and
// otherwise the first of the rules below that applies (k = e - n).
inline char* file_text(float value, char* out) {
  if (!std::isfinite(value)) return put(out, "null", 4);
  if (std::signbit(value)) *out++ = '-';
  if (value == 0.0f) return put(out, "0.0", 3);
  char d[16];
  int e = 0;
  const int n = to_chars_digits(std::fabs(value), d, e);
  const int k = e - n;
  if (k >= 0 && e <= 13) return put(put_zeros(put(out, d, n), k), ".0", 2);
  if (e > 0 && e <= 13) {
    out = put(out, d, e);
    *out++ = '.';
    return put(out, d + e, n - e);
  }
  if (e > -6 && e <= 0) return put(put_zeros(put(out, "0.", 2), -e), d, n);
  *out++ = d[0];
  if (n > 1) {
    *out++ = '.';
    out = put(out, d + 1, n - 1);
  }
  *out++ = 'e';
  return std::to_chars(out, out + 8, e - 1).ptr;
}

// The report text: positional, no exponent, no point for whole numbers.
inline char* report_text(float value, char* out) {
  if (std::isnan(value)) return put(out, "NaN", 3);
  if (std::signbit(value)) *out++ = '-';
  if (std::isinf(value)) return put(out, "inf", 3);
  if (value == 0.0f) return put(out, "0", 1);
  char d[16];
  int e = 0;
  const int n = to_chars_digits(std::fabs(value), d, e);
  if (e <= 0) return put(put_zeros(put(out, "0.", 2), -e), d, n);
  if (e >= n) return put_zeros(put(out, d, n), e - n);
  out = put(out, d, e);
  *out++ = '.';
  return put(out, d + e, n - e);
}

}  // namespace kemb::ref
