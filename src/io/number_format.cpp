// Fixed, shortest and integer number text over std::to_chars.
#include "io/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

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
  if (append_special(out, value)) return;
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]xx.
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const char* p = buffer;
  const char* end = result.ptr;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  std::string digits;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits += *p;
  }
  int exponent = 0;  // value = d.ddd x 10^exponent
  std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (digits == "0") {
    out += '0';
    return;
  }
  const int n = static_cast<int>(digits.size());
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
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
