// Replays every input kept under tests/fuzz/regressions/ (inputs on which
// the reader fuzz target once found a crash, a hang, a sanitizer report or
// a broken property) through the same checks as the fuzz target.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "../fuzz/reader_checks.hpp"

namespace kemb {
namespace {

TEST(fuzz_regressions, every_kept_input_passes_the_reader_checks) {
  const std::filesystem::path dir = KEMB_FUZZ_REGRESSIONS_DIR;
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().filename() == "README.md") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(fuzz::check_input(text), "") << entry.path();
  }
}

}  // namespace
}  // namespace kemb
