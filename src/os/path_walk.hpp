// path_walk: what a path names for a writer, found component by component
// the way the kernel walks it, with the kernel's protections for shared
// directories applied whatever the machine's settings.
//
// In a directory where anyone may create files and only their owners may
// remove them (sticky and world-writable, like /tmp), another user can plant
// a link or a file under the name a victim will write. Linux refuses to
// follow such a link (fs.protected_symlinks) and to open such a file with
// O_CREAT (fs.protected_regular, fs.protected_fifos) unless it belongs to the
// caller or to the directory's owner; many machines turn those settings on,
// some do not. A save that followed links itself would get past them, so
// the walk reads each link and applies the rule itself, and the caller
// applies the file rule with `protected_from_caller`.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "os/descriptor.hpp"

namespace kemb::os {

struct WalkedPath {
  enum class Kind {
    absent,      // nothing has the final name yet: a new file
    regular,     // a regular file reached through plain names
    other,       // a FIFO, a device or a socket
    magic_link,  // a link of /proc (/dev/stdout, /proc/self/fd/N) that only
                 // the kernel can follow: whatever it reaches
  };
  Kind kind = Kind::absent;
  Descriptor directory;  // holds the final name (kDirectoryFlags)
  std::string name;      // the final name in it
  std::string shown;     // the path with the links it followed replaced by their text
  struct stat object{};  // what the final name reaches (not for absent)
  struct stat holder{};  // the directory
};

// Walks `path` (relative ones from the working directory as it is now,
// taken once) to the object a writer would open, following at most 40
// links. Returns 0, or the error number that open(path, O_WRONLY | O_CREAT)
// would give: ENOENT or ENOTDIR for a missing or plain component, EISDIR
// for a directory, ELOOP, EACCES for a link that the protection refuses.
// `out.shown` names the path in messages either way.
int walk_for_writing(const std::string& path, WalkedPath& out);

// True when a file `object` in `directory` may not be opened with O_CREAT
// by this process: the directory is sticky and world-writable, and the
// file belongs neither to the caller nor to the directory's owner.
bool protected_from_caller(const struct stat& object, const struct stat& directory) noexcept;

// The user id that file permissions are checked against (the fsuid on
// Linux, else the effective uid).
uid_t file_system_uid() noexcept;

}  // namespace kemb::os
