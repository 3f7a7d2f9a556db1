// The entropy source, in the slices getentropy() allows.
#include "os/entropy.hpp"

#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <algorithm>
#include <cerrno>

namespace kemb::os {

int fill_entropy(void* out, std::size_t size) noexcept {
  constexpr std::size_t kMostPerCall = 256;
  auto* bytes = static_cast<unsigned char*>(out);
  while (size > 0) {
    const std::size_t take = std::min(size, kMostPerCall);
    if (::getentropy(bytes, take) != 0) return errno;
    bytes += take;
    size -= take;
  }
  return 0;
}

}  // namespace kemb::os
