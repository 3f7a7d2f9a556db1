// Line output on file descriptor 1.
#include "io/console.hpp"

#include <unistd.h>

#include <string>

#include "io/error.hpp"
#include "io/os_error.hpp"
#include "os/files.hpp"

namespace kemb::io {

void print_line(std::string_view line) {
  if (const int error = os::write_all(STDOUT_FILENO, line.data(), line.size()); error != 0) {
    throw Error("failed printing to stdout: " + os_error_text(error));
  }
}

}  // namespace kemb::io
