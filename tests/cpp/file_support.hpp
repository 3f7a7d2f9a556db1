// Shared by the tests that write files: a fixture with a fresh temporary
// directory, file helpers, the text a model is written as, and the message
// of a failing call.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "io/error.hpp"
#include "persistence/writer.hpp"

namespace kemb::persistence::testing {

inline const std::string kResultPrefix = "called `Result::unwrap()` on an `Err` value: ";

// The name of a save's temporary file: `.<name>.kemb-tmp-<pid>-<16 hex
// digits>`. (Checked by hand: <regex> trips GCC 12's -Wmaybe-uninitialized
// in the sanitizer build.)
inline bool is_temporary_name(const std::string& file_name) {
  const std::string marker = ".kemb-tmp-";
  const std::size_t at = file_name.rfind(marker);
  if (!file_name.starts_with('.') || at == std::string::npos || at < 2) return false;
  const std::string tail = file_name.substr(at + marker.size());  // <pid>-<hex>
  const std::size_t dash = tail.find('-');
  if (dash == 0 || dash == std::string::npos || tail.size() != dash + 17) return false;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const auto hex = [&](char c) { return digit(c) || (c >= 'a' && c <= 'f'); };
  return std::all_of(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(dash), digit) &&
         std::all_of(tail.begin() + static_cast<std::ptrdiff_t>(dash) + 1, tail.end(), hex);
}

// Each test gets its own empty directory, removed afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kemb-files-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // The names in the directory, sorted.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      names.push_back(e.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::filesystem::path dir_;
};

inline std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void put_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

template <typename Model>
std::string text_of(const Model& model) {
  std::string text;
  write_model(model, text);
  return text;
}

// What `call` fails with, or "<no error>".
template <typename Call>
std::string message_of(Call call) {
  try {
    call();
  } catch (const io::Error& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace kemb::persistence::testing
