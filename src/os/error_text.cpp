// strerror_r in both of its forms: GNU's returns the text (which may be a
// static string rather than the buffer), the POSIX one (macOS, musl) returns
// 0 and fills the buffer.
#include "os/error_text.hpp"

#include <cstring>

namespace kemb::os {
namespace {

[[maybe_unused]] const char* text_of(const char* result, const char*) { return result; }
[[maybe_unused]] const char* text_of(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}

}  // namespace

std::string error_text(int errnum) {
  char buffer[256] = {};
  const char* text = text_of(strerror_r(errnum, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(errnum);
  return text;
}

}  // namespace kemb::os
