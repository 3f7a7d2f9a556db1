// The process's standard output (file descriptor 1), written directly and
// not through Python's sys.stdout: reports appear even when a script
// replaced sys.stdout, and each line reaches the descriptor whole, in one
// write, as soon as it is complete.
#pragma once

#include <string_view>

namespace kemb::io {

// Writes `line` (which ends with its newline) to file descriptor 1. A
// failed write raises kemb::Error "failed printing to stdout: <os error>".
void print_line(std::string_view line);

}  // namespace kemb::io
