// Line output on file descriptor 1.
#include "io/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "io/error.hpp"
#include "io/os_error.hpp"

namespace kemb::io {

void print_line(std::string_view line) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error("failed printing to stdout: " + os_error_text(errno));
    }
    if (n == 0) throw Error("failed printing to stdout: " + os_error_text(EIO));
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace kemb::io
