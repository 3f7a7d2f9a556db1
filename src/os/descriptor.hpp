// descriptor: kemb's own file descriptors. Every one is opened close-on-exec
// and numbered 3 or above. Descriptors 0, 1 and 2 belong to the host: when
// it has closed one of them, the next open() would return that number, and
// report lines written to descriptor 1 would then land in a model file or
// in the first input's text.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <utility>

namespace kemb::os {

// An owned file descriptor, closed with its owner.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept;
  // Closes the descriptor now; returns 0 or the error number of close(),
  // which reports a delayed write error (a full disk on NFS).
  int close() noexcept;

 private:
  int fd_;
};

// Flags that open a directory only to walk it and to name files relative
// to it. O_PATH needs no read permission on the directory, as a path walk
// needs none; where there is no O_PATH, reading is asked for instead.
#if defined(O_PATH) && !defined(KEMB_PORTABLE)
inline constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY;
#else
inline constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY;
#endif

// openat() with O_CLOEXEC added, the result moved to 3 or above. Returns
// the descriptor, or -1 with errno set (EINTR included: callers that wait
// on a FIFO retry themselves).
int open_at(int directory, const char* path, int flags, mode_t mode = 0) noexcept;

}  // namespace kemb::os
