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
