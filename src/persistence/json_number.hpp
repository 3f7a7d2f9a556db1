// json_number: the one JSON number grammar of the reader,
//   -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
// used by every path that meets a number (the compact fast path of float
// arrays, tokens read or skipped one by one), and the float32 of a token.
// The matcher is inline: it runs once per number of a file.
#pragma once

#include <charconv>
#include <cmath>
#include <system_error>

namespace kemb::persistence {

// A JSON number as it appeared in the text.
struct NumberToken {
  const char* first = nullptr;
  const char* last = nullptr;
  bool negative = false;
  bool integer = true;  // no fraction and no exponent
};

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// The bytes that can continue a number: a token is the longest run of them.
inline bool is_number_char(char c) {
  return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Matches the grammar at `first`, reading no further than `last`. Returns
// the end of the number and fills `token`, or null when the bytes do not
// form a number there (a lone sign, "1.", "1e+", or a cut at `last`). The
// match ends at the first byte that cannot extend it ("01" matches "0"), so
// the caller decides what may follow.
inline const char* match_number(const char* first, const char* last, NumberToken& token) {
  const char* p = first;
  token = NumberToken{first, last, false, true};
  const auto digits = [&] {
    const char* start = p;
    while (p != last && is_digit(*p)) ++p;
    return p != start;
  };
  if (p != last && *p == '-') token.negative = true, ++p;
  if (p != last && *p == '0') {
    ++p;
  } else if (!digits()) {
    return nullptr;
  }
  if (p != last && *p == '.') {
    token.integer = false, ++p;
    if (!digits()) return nullptr;
  }
  if (p != last && (*p == 'e' || *p == 'E')) {
    token.integer = false, ++p;
    if (p != last && (*p == '+' || *p == '-')) ++p;
    if (!digits()) return nullptr;
  }
  token.last = p;
  return p;
}

// The float32 of a number token (already matched): parsed as the nearest
// double, then rounded to the nearest float32. Magnitudes beyond the float32
// range give an infinity of the number's sign, and so do those beyond the
// double range; magnitudes below the smallest subnormal give a zero of the
// number's sign.
float parse_float(const char* first, const char* last) noexcept;

// parse_float with its common case inline: a double well inside the float32
// range. Out-of-range texts and the rounding boundary take the full function.
inline float to_float(const char* first, const char* last) noexcept {
  constexpr double kFloatOverflow = 0x1.ffffffp127;
  double value = 0.0;
  if (std::from_chars(first, last, value).ec == std::errc() && std::fabs(value) < kFloatOverflow) {
    return static_cast<float>(value);
  }
  return parse_float(first, last);
}

}  // namespace kemb::persistence
