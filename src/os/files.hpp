// files: writing, copying and unnamed files. POSIX everywhere, with the
// Linux calls that save work (O_TMPFILE, copy_file_range) behind it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>

namespace kemb::os {

// Writes all `size` bytes at the descriptor's offset, retrying what a
// signal interrupted. A non-blocking descriptor that is full (EAGAIN) calls
// `when_full` before the next try: it waits a little and may throw; without
// it EAGAIN fails like any error. Returns 0, or the error number of the
// write that failed (EIO for one that wrote nothing).
int write_all(int fd, const char* data, std::size_t size,
              const std::function<void()>& when_full = {});

// Copies up to `size` bytes of `source` from `*offset` (which advances) to
// `dest` at its own offset, inside the kernel where it can. Returns the
// count, or -1 with errno set; ENOSYS where the system cannot copy between
// files (read and write then serve), EXDEV, EINVAL or EOPNOTSUPP where it
// cannot for these two.
ssize_t copy_range(int source, off_t* offset, int dest, std::size_t size) noexcept;

// A new file for reading and writing on the file system of `directory`
// that no other process can open: on Linux it never has a name (O_TMPFILE);
// elsewhere, or where the file system allows none, it is created with a
// random name, mode 0600, and unlinked at once. It disappears with its last
// descriptor. Returns it (3 or above), or -1 with errno set.
int open_unnamed(const char* directory) noexcept;

}  // namespace kemb::os
