// Float text of the model file: every layout rule and its boundaries against
// fixed strings, and random floats against an independent formatter built
// on printf digits; reading back through the double-then-float32 path.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "persistence/float_text.hpp"
#include "persistence/json_number.hpp"

namespace kemb::persistence {
namespace {

std::string text_of(float value) {
  char buffer[kMaxFloatText];
  return std::string(buffer, format_float(value, buffer));
}

// Shortest digits by brute force: the first printf precision whose decimal
// reads back as the same float; at that length the neighbours of the printf
// digits are tried too, and the nearest that reads back wins (an exact tie
// goes to the even last digit).
void reference_digits(float value, std::string& digits, int& exponent) {
  for (int precision = 0; precision < 9; ++precision) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", precision, static_cast<double>(value));
    std::string mantissa;
    const char* p = text;
    for (; *p != 'e'; ++p) {
      if (*p != '.') mantissa += *p;
    }
    const int x = std::atoi(p + 1);
    const long long m = std::stoll(mantissa);
    long double best_distance = -1;
    std::string best;
    for (long long candidate : {m - 1, m, m + 1}) {
      if (candidate <= 0) continue;
      const std::string c = std::to_string(candidate);
      const std::string decimal = c + "e" + std::to_string(x - precision);
      if (std::strtof(decimal.c_str(), nullptr) != value) continue;
      const long double distance = std::fabs(std::strtold(decimal.c_str(), nullptr) - value);
      const bool tie_to_even = distance == best_distance && candidate % 2 == 0;
      if (best_distance < 0 || distance < best_distance || tie_to_even) {
        best_distance = distance;
        best = decimal;
      }
    }
    if (best.empty()) continue;
    const std::size_t e = best.find('e');
    digits = best.substr(0, e);
    exponent = std::stoi(best.substr(e + 1)) + static_cast<int>(digits.size());
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    return;
  }
  FAIL() << "no round-trip digits for " << value;
}

// The layout rules written out over strings, independently of the code.
std::string reference_text(float value) {
  if (std::isnan(value) || std::isinf(value)) return "null";
  const std::string sign = std::signbit(value) ? "-" : "";
  if (value == 0.0f) return sign + "0.0";
  std::string d;
  int e = 0;
  reference_digits(std::fabs(value), d, e);
  const int n = static_cast<int>(d.size());
  if (e - n >= 0 && e <= 13) return sign + d + std::string(e - n, '0') + ".0";
  if (e > 0 && e <= 13) return sign + d.substr(0, e) + "." + d.substr(e);
  if (e > -6 && e <= 0) return sign + "0." + std::string(-e, '0') + d;
  const std::string mantissa = n == 1 ? d : d.substr(0, 1) + "." + d.substr(1);
  return sign + mantissa + "e" + std::to_string(e - 1);
}

struct Case {
  float value;
  const char* text;
};

TEST(float_text, layout_rules_and_boundaries) {
  const Case cases[] = {
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {1.0f, "1.0"},
      {-2.0f, "-2.0"},
      {100.0f, "100.0"},
      {1e12f, "1000000000000.0"},        // e = 13: still positional
      {1.2345e12f, "1234500000000.0"},
      {9.999999e12f, "9999999000000.0"},
      {1e13f, "1e13"},                   // e = 14: exponent form, one digit
      {1.5e13f, "1.5e13"},
      {1234.5f, "1234.5"},
      {0.5f, "0.5"},
      {16777216.0f, "16777216.0"},
      {123456.79f, "123456.79"},
      {0.001f, "0.001"},
      {0.9f, "0.9"},
      {0.999f, "0.999"},
      {0.000001f, "0.000001"},           // e = -5: last positional exponent
      {0.0000012345f, "0.0000012345"},
      {1e-7f, "1e-7"},                   // e = -6: exponent form
      {1.5e-7f, "1.5e-7"},
      {9.9999e-7f, "9.9999e-7"},
      {3.4028235e38f, "3.4028235e38"},
      {-3.4028235e38f, "-3.4028235e38"},
      {-333823.875f, "-333823.88"},  // exact tie between two 8-digit candidates
      {std::numeric_limits<float>::min(), "1.1754944e-38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {-std::numeric_limits<float>::denorm_min(), "-1e-45"},
      {0.1f, "0.1"},
      {0.3f, "0.3"},
      {std::numeric_limits<float>::quiet_NaN(), "null"},
      {-std::numeric_limits<float>::quiet_NaN(), "null"},
      {std::numeric_limits<float>::infinity(), "null"},
      {-std::numeric_limits<float>::infinity(), "null"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text_of(c.value), c.text) << std::hexfloat << c.value;
    EXPECT_EQ(reference_text(c.value), c.text) << "reference disagrees for " << c.text;
  }
}

TEST(float_text, random_bit_patterns_match_the_reference_and_read_back) {
  std::mt19937 rng(12345);
  for (int i = 0; i < 40000; ++i) {
    // Half uniform bit patterns (every exponent), half values near the
    // positional boundaries 1e-6 and 1e13.
    std::uint32_t bits = rng();
    if (i % 2 == 1) {
      const float base = (i % 4 == 1) ? 1e-6f : 1e13f;
      bits = std::bit_cast<std::uint32_t>(base) + (rng() % 2048) - 1024;
    }
    const float value = std::bit_cast<float>(bits);
    const std::string text = text_of(value);
    ASSERT_EQ(text, reference_text(value)) << std::hexfloat << value;
    if (std::isfinite(value)) {
      const float back = parse_float(text.data(), text.data() + text.size());
      ASSERT_EQ(std::bit_cast<std::uint32_t>(back), bits) << text;
    }
  }
}

TEST(float_text, reading_rounds_through_double_and_saturates) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    const char* text;
    float value;
  } cases[] = {
      {"1", 1.0f},
      {"-0", -0.0f},
      {"0.1", 0.1f},
      {"3.4028235e38", 3.4028235e38f},
      {"3.40282356e38", 3.4028235e38f},  // below the rounding boundary: stays finite
      {"3.4028235677973366e38", inf},    // 2^128 - 2^103: the tie rounds up to infinity
      {"3.4028236e38", inf},
      {"1e39", inf},
      {"-1e39", -inf},
      {"1e400", inf},   // beyond the double range
      {"-1e400", -inf},
      {"123456789e400", inf},
      {"0.0000001e400", inf},
      {"1e-46", 0.0f},  // below half the smallest subnormal
      {"-1e-46", -0.0f},
      {"1e-400", 0.0f},  // beyond the double range, tiny
      {"-1e-400", -0.0f},
      {"1000000000000000000000e-420", 0.0f},
      {"1.4e-45", std::numeric_limits<float>::denorm_min()},
      {"1E2", 100.0f},
      {"2.5e+1", 25.0f},
  };
  for (const auto& c : cases) {
    const std::string text = c.text;
    const float value = parse_float(text.data(), text.data() + text.size());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(c.value)) << text;
  }
}

}  // namespace
}  // namespace kemb::persistence
