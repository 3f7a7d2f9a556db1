// Number text: float text in both layouts against exact strings and the std::to_chars reference
// on 2^20 bit patterns, reading number tokens back, the report's fixed forms; operating system
// error texts (the shared messages are checked where they arise) and the error's call site.
#include <cerrno>
#include <cstdio>

#include "io/float_text.hpp"
#include "io/number_format.hpp"
#include "io/os_error.hpp"
#include "persistence/json_number.hpp"
#include "support.hpp"

namespace kemb::io {
namespace {

using persistence::parse_float;

std::string file_text(float value) {
  char buffer[io::kMaxFloatText];
  return std::string(buffer, io::format_float(value, buffer));
}

std::string report_text(float value) {
  char buffer[io::kMaxPositionalText];
  return std::string(buffer, io::format_positional(value, buffer));
}

TEST(float_text, layout_rules_and_boundaries) {
  const float inf = test::inf(), nan = test::nan();
  // clang-format off
  const struct {
    float value;
    const char* file;
    const char* report;
  } cases[] = {
      {0.0f, "0.0", "0"}, {-0.0f, "-0.0", "-0"}, {1.0f, "1.0", "1"}, {-2.0f, "-2.0", "-2"},
      {100.0f, "100.0", "100"}, {1234.5f, "1234.5", "1234.5"}, {12.5f, "12.5", "12.5"},
      {0.5f, "0.5", "0.5"}, {0.1f, "0.1", "0.1"}, {0.3f, "0.3", "0.3"}, {0.9f, "0.9", "0.9"},
      {0.999f, "0.999", "0.999"}, {0.001f, "0.001", "0.001"},
      {0.009090909f, "0.009090909", "0.009090909"}, {16777216.0f, "16777216.0", "16777216"},
      {123456.79f, "123456.79", "123456.79"},
      {1e12f, "1000000000000.0", "1000000000000"},  // e = 13: still positional
      {1.2345e12f, "1234500000000.0", "1234500000000"},
      {9.999999e12f, "9999999000000.0", "9999999000000"},
      {1e13f, "1e13", "10000000000000"},  // e = 14: exponent form, one digit
      {1.5e13f, "1.5e13", "15000000000000"}, {1e20f, "1e20", "100000000000000000000"},
      {0.000001f, "0.000001", "0.000001"},  // e = -5: last positional exponent
      {0.0000012345f, "0.0000012345", "0.0000012345"},
      {1e-7f, "1e-7", "0.0000001"},  // e = -6: exponent form
      {1.5e-7f, "1.5e-7", "0.00000015"}, {9.9999e-7f, "9.9999e-7", "0.00000099999"},
      {1.25e-10f, "1.25e-10", "0.000000000125"},
      {3.4028235e38f, "3.4028235e38", "340282350000000000000000000000000000000"},
      {-3.4028235e38f, "-3.4028235e38", "-340282350000000000000000000000000000000"},
      {-333823.875f, "-333823.88", "-333823.88"},  // exact tie between two 8-digit candidates
      {std::numeric_limits<float>::min(), "1.1754944e-38",
       "0.000000000000000000000000000000000000011754944"},
      {std::numeric_limits<float>::denorm_min(), "1e-45",
       "0.000000000000000000000000000000000000000000001"},
      {-std::numeric_limits<float>::denorm_min(), "-1e-45",
       "-0.000000000000000000000000000000000000000000001"},
      {nan, "null", "NaN"}, {-nan, "null", "NaN"}, {inf, "null", "inf"}, {-inf, "null", "-inf"},
  };
  // clang-format on
  char buffer[ref::kFloatTextRoom];
  for (const auto& c : cases) {
    EXPECT_EQ(file_text(c.value), c.file);
    EXPECT_EQ(report_text(c.value), c.report);
    EXPECT_EQ(std::string(buffer, ref::file_text(c.value, buffer)), c.file) << "reference";
    EXPECT_EQ(std::string(buffer, ref::report_text(c.value, buffer)), c.report) << "reference";
  }
}

// 2^20 bit patterns, both signs: every power of two with its neighbours, the
// 1025 around every power of ten (layout boundaries, exponent widths), the
// first and last subnormals, the top with infinity and NaNs, random ones.
std::vector<std::uint32_t> sample_bit_patterns() {
  std::vector<std::uint32_t> bits;
  const auto add = [&](std::uint32_t b) {
    bits.push_back(b);
    bits.push_back(b ^ 0x80000000u);
  };
  for (std::uint32_t biased = 1; biased < 255; ++biased) {
    for (std::uint32_t b = (biased << 23) - 1; b <= (biased << 23) + 1; ++b) add(b);
  }
  for (int i = 0; i < 23; ++i) add(1u << i);
  for (int p = -45; p <= 38; ++p) {
    const std::string text = "1e" + std::to_string(p);
    float power = 0.0f;
    std::from_chars(text.data(), text.data() + text.size(), power);
    const std::int64_t center = std::bit_cast<std::int32_t>(power);
    for (std::int64_t b = std::max<std::int64_t>(0, center - 512); b <= center + 512; ++b) {
      add(static_cast<std::uint32_t>(b));
    }
  }
  for (std::uint32_t b = 0; b < 4096; ++b) {
    add(b);
    add(0x7fffffu - b);
    add(0x7f800010u - b);
  }
  std::mt19937 gen(20240612);
  while (bits.size() < (1u << 20)) bits.push_back(static_cast<std::uint32_t>(gen()));
  return bits;
}

TEST(float_text, sample_of_bit_patterns_matches_the_reference_and_reads_back) {
  int failures = 0;
  for (const std::uint32_t bits : sample_bit_patterns()) {
    const float value = std::bit_cast<float>(bits);
    char expected[ref::kFloatTextRoom];
    const std::string file = file_text(value);
    const std::string file_expected(expected, ref::file_text(value, expected));
    const std::string report = report_text(value);
    const std::string report_expected(expected, ref::report_text(value, expected));
    bool read_back = true;
    if (std::isfinite(value)) {
      const float back = parse_float(file.data(), file.data() + file.size());
      read_back = std::bit_cast<std::uint32_t>(back) == bits;
    }
    if (file != file_expected || report != report_expected || !read_back) {
      ADD_FAILURE() << std::hex << "bits 0x" << bits << ": file " << file << " (expected "
                    << file_expected << "), report " << report << " (expected " << report_expected
                    << "), reads back: " << read_back;
      if (++failures == 10) return;
    }
  }
}

TEST(float_text, reading_rounds_through_double_and_saturates) {
  const float inf = test::inf();
  // clang-format off
  const struct {
    const char* text;
    float value;
  } cases[] = {
      {"1", 1.0f}, {"-0", -0.0f}, {"0.1", 0.1f}, {"1E2", 100.0f}, {"2.5e+1", 25.0f},
      {"3.4028235e38", 3.4028235e38f},
      {"3.40282356e38", 3.4028235e38f},  // below the rounding boundary: stays finite
      {"3.4028235677973366e38", inf},    // 2^128 - 2^103: the tie rounds up to infinity
      {"3.4028236e38", inf}, {"1e39", inf}, {"-1e39", -inf},
      {"1e400", inf}, {"-1e400", -inf},  // beyond the double range
      {"123456789e400", inf}, {"0.0000001e400", inf},
      {"1e-46", 0.0f}, {"-1e-46", -0.0f},    // below half the smallest subnormal
      {"1e-400", 0.0f}, {"-1e-400", -0.0f},  // beyond the double range, tiny
      {"1000000000000000000000e-420", 0.0f},
      {"1.4e-45", std::numeric_limits<float>::denorm_min()},
  };
  // clang-format on
  for (const auto& c : cases) {
    const std::string text = c.text;
    const float value = parse_float(text.data(), text.data() + text.size());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(c.value)) << text;
  }
}

TEST(error, call_site_and_os_error_texts) {
  try {
    throw_index_out_of_bounds();
  } catch (const Error& e) {
    EXPECT_TRUE(std::string(e.where().file_name()).ends_with("test_io.cpp"))
        << e.where().file_name();
  }
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {os_error_text(EPIPE), "Broken pipe (os error 32)"},
      {os_error_kind(EACCES), "PermissionDenied"},
      {os_error_kind(EPIPE), "BrokenPipe"},
      {os_error_kind(ENOSPC), "StorageFull"},
      {os_error_kind(12345), "Uncategorized"},
      {os_error_description(ENOENT, "dir/\"odd\\name\".json"),
       "Os { code: 2, kind: NotFound, message: \"No such file or directory\", "
       "path: \"dir/\\\"odd\\\\name\\\".json\" }"},
  };
  // clang-format on
  for (const auto& [message, expected] : cases) EXPECT_EQ(message, expected);
}

// A path is input: a long one is quoted in part, cut before a character that won't fit whole.
TEST(os_error, long_paths_are_quoted_in_part) {
  std::string path = "/" + std::string(254, 'd');
  for (int i = 0; i < 5000; ++i) path += "\xe2\x9c\x93";
  EXPECT_EQ(os_error_description(ENAMETOOLONG, path),
            "Os { code: 36, kind: InvalidFilename, message: \"File name too long\", path: \"" +
                path.substr(0, 255) + "\" [cut: 15255 bytes] }");
}

std::string fixed(float value, int digits) {
  std::string out;
  append_fixed(out, value, digits);
  return out;
}

TEST(number_format, fixed_examples) {
  const float inf = test::inf(), max = std::numeric_limits<float>::max();
  // clang-format off
  const struct {
    float value;
    int digits;
    const char* text;
  } cases[] = {
      {0.0625f, 3, "0.062"}, {-0.0f, 3, "-0.000"}, {inf, 3, "inf"}, {-inf, 1, "-inf"},
      {test::nan(), 3, "NaN"},
      {max, 1, "340282346638528859811704183484516925440.0"},
  };
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(fixed(c.value, c.digits), c.text) << c.text;
}

// printf's %.Nf rounds the exact binary value with ties to even, like the
// reports: an independent reference for random values of every magnitude.
TEST(number_format, fixed_matches_printf_reference) {
  std::mt19937 gen(7);
  for (int i = 0; i < 200000; ++i) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(gen()));
    if (!std::isfinite(value)) continue;
    for (int digits : {1, 3}) {
      char expected[128];
      std::snprintf(expected, sizeof expected, "%.*f", digits, static_cast<double>(value));
      ASSERT_EQ(fixed(value, digits), expected) << test::bits(value);
    }
  }
}

}  // namespace
}  // namespace kemb::io
