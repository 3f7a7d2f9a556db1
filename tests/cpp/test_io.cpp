// The error's call site, operating system error texts (the shared messages
// are checked where they arise) and the report number forms.
#include <cerrno>
#include <cstdio>

#include "io/number_format.hpp"
#include "io/os_error.hpp"
#include "support.hpp"

namespace kemb::io {
namespace {

TEST(error, call_site_and_os_error_texts) {
  try {
    throw_index_out_of_bounds();
  } catch (const Error& e) {
    EXPECT_TRUE(std::string(e.where().file_name()).ends_with("test_io.cpp")) << e.where().file_name();
  }
  const std::pair<std::string, std::string> cases[] = {
      {os_error_text(EPIPE), "Broken pipe (os error 32)"},
      {os_error_kind(EACCES), "PermissionDenied"},
      {os_error_kind(ENOSPC), "StorageFull"},
      {os_error_kind(12345), "Uncategorized"},
      {os_error_description(ENOENT, "dir/\"odd\\name\".json"),
       "Os { code: 2, kind: NotFound, message: \"No such file or directory\", "
       "path: \"dir/\\\"odd\\\\name\\\".json\" }"},
  };
  for (const auto& [message, expected] : cases) EXPECT_EQ(message, expected);
}

// A path is input: a long one is quoted in part, cut before a character
// that would not fit whole.
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
  const struct {
    float value;
    int digits;
    const char* text;
  } cases[] = {
      {0.0625f, 3, "0.062"}, {0.1875f, 3, "0.188"}, {-0.0f, 3, "-0.000"}, {-0.0001f, 3, "-0.000"},
      {inf, 3, "inf"},       {-inf, 1, "-inf"},     {test::nan(), 3, "NaN"},
      {max, 1, "340282346638528859811704183484516925440.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(fixed(c.value, c.digits), c.text) << c.text;
  std::string out;
  append_right_aligned(out, 10, 4);
  append_right_aligned(out, 65535, 4);
  append_right_aligned(out, 7, 4);
  append_integer(out, -3);
  EXPECT_EQ(out, "  1065535   7-3");
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
