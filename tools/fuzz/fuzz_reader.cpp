// libFuzzer target over the model file reader: both model kinds, memory and
// piecewise input, and the write-back of every accepted document (the
// properties are in reader_checks.hpp). Built with -DKEMB_BUILD_FUZZ=ON;
// run by scripts/fuzz.sh.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "reader_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string problem = kemb::fuzz::check_input(text);
  if (!problem.empty()) {
    std::fprintf(stderr, "reader property violated: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
