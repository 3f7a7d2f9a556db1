// error_text: the operating system's text for an error number.
#pragma once

#include <string>

namespace kemb::os {

// "No such file or directory" for ENOENT; "Unknown error N" where the
// system has none.
std::string error_text(int errnum);

}  // namespace kemb::os
