// entropy: bytes from the operating system's entropy source, through
// getentropy(), which glibc (2.25 on), musl and macOS all provide and which
// opens no descriptor.
#pragma once

#include <cstddef>

namespace kemb::os {

// Fills `size` bytes; returns 0 or the error number.
int fill_entropy(void* out, std::size_t size) noexcept;

}  // namespace kemb::os
