// Owned descriptors and opens that keep clear of 0, 1 and 2.
#include "os/descriptor.hpp"

#include <unistd.h>

#include <cerrno>

namespace kemb::os {

void Descriptor::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int Descriptor::close() noexcept {
  if (fd_ < 0) return 0;
  return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
}

int open_at(int directory, const char* path, int flags, mode_t mode) noexcept {
  const int fd = ::openat(directory, path, flags | O_CLOEXEC, mode);
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  // A standard descriptor was free: the file moves up and the number stays
  // free for the host.
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  ::close(fd);
  errno = error;
  return moved;
}

}  // namespace kemb::os
