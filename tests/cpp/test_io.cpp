// Report number forms and the console writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "io/console.hpp"
#include "io/error.hpp"
#include "io/number_format.hpp"

namespace kemb::io {
namespace {

std::string fixed(float value, int digits) {
  std::string out;
  append_fixed(out, value, digits);
  return out;
}

std::string shortest(float value) {
  std::string out;
  append_shortest(out, value);
  return out;
}

struct FixedCase {
  float value;
  int digits;
  const char* text;
};

TEST(number_format, fixed_examples) {
  const float inf = std::numeric_limits<float>::infinity();
  const FixedCase cases[] = {
      {0.875f, 3, "0.875"},     {0.412f, 3, "0.412"},       {12.0f, 3, "12.000"},
      {0.0625f, 3, "0.062"},    {0.1875f, 3, "0.188"},      {0.25f, 1, "0.2"},
      {0.75f, 1, "0.8"},        {97.3f, 1, "97.3"},         {-0.0f, 3, "-0.000"},
      {-0.0001f, 3, "-0.000"},  {0.0005f, 3, "0.001"},      {2.0f / 3.0f, 3, "0.667"},
      {1e20f, 3, "100000002004087734272.000"},             {inf, 3, "inf"},
      {-inf, 1, "-inf"},        {std::numeric_limits<float>::quiet_NaN(), 3, "NaN"},
      {std::numeric_limits<float>::max(), 1,
       "340282346638528859811704183484516925440.0"},
  };
  for (const FixedCase& c : cases) EXPECT_EQ(fixed(c.value, c.digits), c.text) << c.text;
}

// printf's %.Nf rounds the exact binary value with ties to even, like the
// reports: an independent reference for random values of every magnitude.
TEST(number_format, fixed_matches_printf_reference) {
  std::mt19937 gen(7);
  std::uniform_int_distribution<std::uint32_t> bits;
  for (int i = 0; i < 200000; ++i) {
    const float value = std::bit_cast<float>(bits(gen));
    if (!std::isfinite(value)) continue;
    for (int digits : {1, 3}) {
      char expected[128];
      std::snprintf(expected, sizeof expected, "%.*f", digits, static_cast<double>(value));
      ASSERT_EQ(fixed(value, digits), expected) << std::bit_cast<std::uint32_t>(value);
    }
  }
}

TEST(number_format, shortest_examples) {
  const std::pair<float, const char*> cases[] = {
      {0.001f, "0.001"},        {1.0f, "1"},
      {1e-7f, "0.0000001"},     {0.01f, "0.01"},
      {12.5f, "12.5"},          {100.0f, "100"},
      {1e20f, "100000000000000000000"},
      {0.009090909f, "0.009090909"},
      {-0.0f, "-0"},            {0.0f, "0"},
      {-2.5f, "-2.5"},          {std::numeric_limits<float>::infinity(), "inf"},
      {std::numeric_limits<float>::quiet_NaN(), "NaN"},
      {std::numeric_limits<float>::denorm_min(),
       "0.000000000000000000000000000000000000000000001"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(shortest(value), text) << text;
}

// The text reads back as the same float, and no string with fewer
// significant digits does.
TEST(number_format, shortest_round_trips_with_fewest_digits) {
  std::mt19937 gen(11);
  std::uniform_int_distribution<std::uint32_t> bits;
  for (int i = 0; i < 100000; ++i) {
    const float value = std::bit_cast<float>(bits(gen));
    if (!std::isfinite(value)) continue;
    const std::string text = shortest(value);
    ASSERT_EQ(text.find('e'), std::string::npos) << text;
    ASSERT_EQ(std::strtof(text.c_str(), nullptr), value) << text;
    // Significant digits: from the first to the last non-zero digit
    // (trailing zeros of a whole number are padding).
    std::string digits;
    for (char c : text) {
      if (c >= '0' && c <= '9') digits += c;
    }
    const auto first = digits.find_first_not_of('0');
    const auto last = digits.find_last_not_of('0');
    const int significant = first == std::string::npos ? 1 : static_cast<int>(last - first + 1);
    if (significant > 1) {
      char fewer[64];
      std::snprintf(fewer, sizeof fewer, "%.*e", significant - 2, static_cast<double>(value));
      ASSERT_NE(std::strtof(fewer, nullptr), value) << text << " vs " << fewer;
    }
  }
}

TEST(number_format, integers) {
  std::string out;
  append_right_aligned(out, 10, 4);
  append_right_aligned(out, 65535, 4);
  append_right_aligned(out, 7, 4);
  append_integer(out, -3);
  EXPECT_EQ(out, "  1065535   7-3");
}

// Runs `body` with file descriptor 1 redirected to `fd`.
template <typename Body>
void with_stdout(int fd, Body body) {
  const int saved = ::dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  ::dup2(fd, STDOUT_FILENO);
  body();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
}

TEST(console, writes_whole_lines_to_descriptor_one) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  with_stdout(fds[1], [] {
    print_line("epoch:    1, acc: 0.500\n");
    print_line("validation:  acc: 0.250\n");
  });
  ::close(fds[1]);
  char buffer[256];
  const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
  ::close(fds[0]);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)),
            "epoch:    1, acc: 0.500\nvalidation:  acc: 0.250\n");
}

TEST(console, broken_pipe_is_an_error) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  const auto old_handler = std::signal(SIGPIPE, SIG_IGN);
  std::string message;
  with_stdout(fds[1], [&] {
    try {
      print_line("lost\n");
    } catch (const io::Error& e) {
      message = e.what();
    }
  });
  std::signal(SIGPIPE, old_handler);
  ::close(fds[1]);
  EXPECT_EQ(message, "failed printing to stdout: Broken pipe (os error 32)");
}

}  // namespace
}  // namespace kemb::io
