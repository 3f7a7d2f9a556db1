// json_number: the one JSON number grammar of the reader,
//   -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
// used by every path that meets a number (the compact fast path of float
// arrays, tokens read or skipped one by one), and the float32 of a token.
// The matcher is inline: it runs once per number of a file.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
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

// A number token too long to keep (no writer makes one; a hostile file
// can hold millions of digits). Fed its bytes in pieces, it checks them
// against the grammar and keeps only what the value depends on: the first
// kKeptDigits significant digits, whether a non-zero digit followed them,
// and the decimal exponent. Every decimal that a double can round to, or
// that lies halfway between two doubles, has at most 767 significant
// digits, so a number cut after more digits than that, with a 1 appended
// when a non-zero digit was dropped, rounds to the same double: value_text()
// is a short text of the same double (and so of the same float32).
class LongNumber {
 public:
  static constexpr std::size_t kKeptDigits = 800;

  void feed(const char* first, const char* last);
  // The whole token matched the grammar.
  bool valid() const;
  bool negative() const { return negative_; }
  bool integer() const { return integer_; }
  // "0.<digits>e<exponent>" with the token's sign, or a zero.
  std::string value_text() const;

 private:
  enum class State : std::uint8_t {
    start, sign, zero, whole, point, fraction, exponent_mark, exponent_sign, exponent, invalid
  };
  void significant_digit(char c);

  State state_ = State::start;
  bool negative_ = false;
  bool integer_ = true;
  std::string digits_;   // the first significant digits
  bool dropped_nonzero_ = false;
  std::int64_t point_ = 0;  // value = 0.<digits> x 10^(point_ +- exponent_)
  bool exponent_negative_ = false;
  std::int64_t exponent_ = 0;  // saturated far beyond any double exponent
};

// The float32 of a number token (already matched): parsed as the nearest
// double, then rounded to the nearest float32. Magnitudes beyond the float32
// range give an infinity of the number's sign, and so do those beyond the
// double range; magnitudes below the smallest subnormal give a zero of the
// number's sign.
float parse_float(const char* first, const char* last) noexcept;

// Doubles from 2^128 - 2^103 upwards round to infinity as float32; below it
// the conversion to float is defined.
inline constexpr double kFloatOverflow = 0x1.ffffffp127;

// parse_float with its common case inline: a double well inside the float32
// range. Out-of-range texts and the rounding boundary take the full function.
inline float to_float(const char* first, const char* last) noexcept {
  double value = 0.0;
  if (std::from_chars(first, last, value).ec == std::errc() && std::fabs(value) < kFloatOverflow) {
    return static_cast<float>(value);
  }
  return parse_float(first, last);
}

}  // namespace kemb::persistence
