// The float32 of a number token: through the nearest double, with the
// ranges beyond float32 and double handled explicitly.
#include "persistence/json_number.hpp"

#include <algorithm>
#include <limits>

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

void LongNumber::significant_digit(char c) {
  if (digits_.size() < kKeptDigits) {
    digits_ += c;
  } else if (c != '0') {
    dropped_nonzero_ = true;
  }
}

void LongNumber::feed(const char* first, const char* last) {
  constexpr std::int64_t kSaturated = std::int64_t{1} << 50;
  for (const char* p = first; p != last; ++p) {
    const char c = *p;
    const bool digit = is_digit(c);
    switch (state_) {
      case State::start:
        if (c == '-') {
          negative_ = true;
          state_ = State::sign;
          break;
        }
        [[fallthrough]];
      case State::sign:
        if (c == '0') {
          state_ = State::zero;
        } else if (digit) {
          significant_digit(c);
          ++point_;
          state_ = State::whole;
        } else {
          state_ = State::invalid;
        }
        break;
      case State::zero:
      case State::whole:
        if (digit && state_ == State::whole) {
          significant_digit(c);
          ++point_;
        } else if (c == '.') {
          integer_ = false;
          state_ = State::point;
        } else if (c == 'e' || c == 'E') {
          integer_ = false;
          state_ = State::exponent_mark;
        } else {
          state_ = State::invalid;  // "01", "1-", ...
        }
        break;
      case State::point:
      case State::fraction:
        if (digit) {
          if (digits_.empty() && c == '0') {
            --point_;  // a leading zero of the fraction
          } else {
            significant_digit(c);
          }
          state_ = State::fraction;
        } else if ((c == 'e' || c == 'E') && state_ == State::fraction) {
          state_ = State::exponent_mark;
        } else {
          state_ = State::invalid;
        }
        break;
      case State::exponent_mark:
        if (c == '+' || c == '-') {
          exponent_negative_ = c == '-';
          state_ = State::exponent_sign;
          break;
        }
        [[fallthrough]];
      case State::exponent_sign:
      case State::exponent:
        if (digit) {
          if (exponent_ < kSaturated) exponent_ = exponent_ * 10 + (c - '0');
          state_ = State::exponent;
        } else {
          state_ = State::invalid;
        }
        break;
      case State::invalid: return;
    }
  }
}

bool LongNumber::valid() const {
  return state_ == State::zero || state_ == State::whole || state_ == State::fraction ||
         state_ == State::exponent;
}

std::string LongNumber::value_text() const {
  std::string text = negative_ ? "-" : "";
  if (digits_.empty()) return text + "0";
  // Beyond +-10^6 every kept mantissa is far outside the double range; the
  // clamp keeps the text short and parse_float maps it to infinity or zero.
  constexpr std::int64_t kClamp = 1000000;
  const std::int64_t exponent =
      std::clamp(point_ + (exponent_negative_ ? -exponent_ : exponent_), -kClamp, kClamp);
  return text + "0." + digits_ + (dropped_nonzero_ ? "1" : "") + "e" + std::to_string(exponent);
}

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
  // The explicit test keeps the conversion within the range where it is
  // defined.
  if (std::fabs(value) >= kFloatOverflow) return value < 0 ? -kInfinity : kInfinity;
  return static_cast<float>(value);
}

}  // namespace kemb::persistence
