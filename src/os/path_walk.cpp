// The path walk for writers: one component at a time, each link read and
// checked before it is followed.
#include "os/path_walk.hpp"

#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/fsuid.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <utility>

namespace kemb::os {
namespace {

// Links followed before giving up, as the kernel does (ELOOP).
constexpr int kMaxLinks = 40;

bool shared_sticky(const struct stat& directory) noexcept {
  return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
}

// The links under /proc (/proc/self/fd/1, /proc/self/cwd) name no path:
// their text ("pipe:[1234]") only describes what they reach, and only the
// kernel can follow them.
bool on_proc(int directory) noexcept {
#if defined(__linux__)
  struct statfs info;
  return ::fstatfs(directory, &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
#else
  (void)directory;
  return false;
#endif
}

// The text of link `name` in `directory`; 0 or the error number.
int read_link(int directory, const std::string& name, std::size_t size_hint, std::string& text) {
  std::size_t size = std::max<std::size_t>(size_hint, 64) + 1;
  while (true) {
    text.assign(size, '\0');
    const ssize_t n = ::readlinkat(directory, name.c_str(), text.data(), text.size());
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) < size) {
      text.resize(static_cast<std::size_t>(n));
      return 0;
    }
    size *= 2;  // the link grew since it was looked at
  }
}

// Ends the walk at `name` in `directory`.
int arrive(WalkedPath& out, Descriptor directory, std::string name, WalkedPath::Kind kind,
           const struct stat& object) {
  if (::fstat(directory.get(), &out.holder) != 0) return errno;
  out.kind = kind;
  out.object = object;
  out.directory = std::move(directory);
  out.name = std::move(name);
  return 0;
}

}  // namespace

uid_t file_system_uid() noexcept {
#if defined(__linux__)
  // An invalid id changes nothing and returns the current one.
  return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)));
#else
  return ::geteuid();
#endif
}

bool protected_from_caller(const struct stat& object, const struct stat& directory) noexcept {
  return shared_sticky(directory) && object.st_uid != file_system_uid() &&
         object.st_uid != directory.st_uid;
}

int walk_for_writing(const std::string& path, WalkedPath& out) {
  out.shown = path;
  if (path.empty()) return ENOENT;
  Descriptor directory(open_at(AT_FDCWD, path.starts_with('/') ? "/" : ".", kDirectoryFlags));
  if (!directory) return errno;
  std::string walked;          // the text walked so far, links replaced by their text
  std::string pending = path;  // the text still to walk
  int links = 0;
  while (true) {
    out.shown = walked + pending;
    const std::size_t start = pending.find_first_not_of('/');
    if (start == std::string::npos) return EISDIR;  // the path ends at a directory
    const std::size_t end = std::min(pending.find('/', start), pending.size());
    const std::string name = pending.substr(start, end - start);
    const bool last = pending.find_first_not_of('/', end) == std::string::npos;
    const bool trailing_slash = end < pending.size();  // "m.json/": no file can be meant

    struct stat info;
    if (::fstatat(directory.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || !last) return errno;
      if (trailing_slash) return EISDIR;
      return arrive(out, std::move(directory), name, WalkedPath::Kind::absent, info);
    }

    bool magic = false;
    if (S_ISLNK(info.st_mode)) {
      if (++links > kMaxLinks) return ELOOP;
      struct stat holder;
      if (::fstat(directory.get(), &holder) != 0) return errno;
      if (protected_from_caller(info, holder)) return EACCES;
      if (on_proc(directory.get())) {
        // The kernel follows it: what it reaches stands for the link.
        if (::fstatat(directory.get(), name.c_str(), &info, 0) != 0) return errno;
        magic = true;
      } else {
        std::string text;
        if (const int error =
                read_link(directory.get(), name, static_cast<std::size_t>(info.st_size), text);
            error != 0) {
          return error;
        }
        // Relative link text continues from the link's own directory.
        walked += pending.substr(0, start);
        if (text.starts_with('/')) {
          walked.clear();
          directory.reset(open_at(AT_FDCWD, "/", kDirectoryFlags));
          if (!directory) return errno;
        }
        pending = text + pending.substr(end);
        continue;
      }
    }

    if (S_ISDIR(info.st_mode)) {
      if (last) return EISDIR;
      Descriptor next(
          open_at(directory.get(), name.c_str(), kDirectoryFlags | (magic ? 0 : O_NOFOLLOW)));
      if (!next) return errno;
      directory = std::move(next);
      walked += pending.substr(0, end);
      pending.erase(0, end);
      continue;
    }
    if (!last || trailing_slash) return ENOTDIR;
    const auto kind = magic                   ? WalkedPath::Kind::magic_link
                      : S_ISREG(info.st_mode) ? WalkedPath::Kind::regular
                                              : WalkedPath::Kind::other;
    return arrive(out, std::move(directory), name, kind, info);
  }
}

}  // namespace kemb::os
