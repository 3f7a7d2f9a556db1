// Write-all loops, copies between files and unnamed files.
#include "os/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "os/descriptor.hpp"
#include "os/entropy.hpp"

namespace kemb::os {

int write_all(int fd, const char* data, std::size_t size, const std::function<void()>& when_full) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && when_full) {
      when_full();
      continue;
    }
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

ssize_t copy_range(int source, off_t* offset, int dest, std::size_t size) noexcept {
#if defined(__linux__) && !defined(KEMB_PORTABLE)
  return ::copy_file_range(source, offset, dest, nullptr, size, 0);
#else
  (void)source, (void)offset, (void)dest, (void)size;
  errno = ENOSYS;
  return -1;
#endif
}

int open_unnamed(const char* directory) noexcept {
#if defined(O_TMPFILE) && !defined(KEMB_PORTABLE)
  const int fd = open_at(AT_FDCWD, directory, O_TMPFILE | O_RDWR, 0600);
  // Other errors (a missing directory, no permission) are the directory's.
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
#endif
  Descriptor holder(open_at(AT_FDCWD, directory, O_RDONLY | O_DIRECTORY));
  if (!holder) return -1;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::uint64_t bits = 0;
    if (fill_entropy(&bits, sizeof bits) != 0) return -1;
    const std::string name =
        ".kemb-unnamed-" + std::to_string(::getpid()) + "-" + std::to_string(bits);
    const int fd = open_at(holder.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd >= 0) ::unlinkat(holder.get(), name.c_str(), 0);
    return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace kemb::os
