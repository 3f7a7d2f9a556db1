// save_file: the file side of one save. Resolving the target (links
// followed as the kernel's protections allow, a directory refused, another
// user's file in a shared sticky directory refused) and pinning its
// directory, the temporary
// file in that directory that is renamed over the target at commit, the
// in-place output for targets that are no regular files, and the sink that
// writes the document's blocks or copies byte ranges of an earlier file
// into it. Every failure raises
//   called `Result::unwrap()` on an `Err` value: Os { code: .., kind: .., message: ".." }
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "os/descriptor.hpp"
#include "persistence/text_buffer.hpp"

namespace kemb::persistence {

// Temporary file names: `.<target name>` + marker + `<pid>-<hex digits>`.
inline constexpr std::string_view kTemporaryMarker = ".kemb-tmp-";
inline constexpr std::size_t kTemporaryHexDigits = 16;

// Called while a save or a load waits on the system (an open() that
// blocks on a FIFO, a read interrupted by a signal) and, during a load, at
// least every 64 MiB read or 100 ms. It may throw to end the operation: the
// bindings run Python's signal handlers there, so Ctrl-C ends it.
using InterruptHook = std::function<void()>;

// How often a caller that writes or waits for a save runs its hook: Ctrl-C
// is seen within this time.
inline constexpr std::chrono::milliseconds kSaveHookInterval{20};

// Where a save goes and how the file is written. The directory is opened
// when the target is resolved, and every later step (create, write,
// rename, remove) is relative to it: a change of working directory
// meanwhile, by any thread, cannot move the save or orphan its file.
struct SaveTarget {
  std::string path;          // the file replaced: `save_best_params` with its links followed
  os::Descriptor directory;  // the directory that holds it
  std::string name;          // its name in that directory
  mode_t mode = 0666;        // permission bits of the new file (before the umask unless exact)
  bool exact_mode = false;   // replacing the caller's own file: keep its bits exactly
  bool in_place = false;     // not a regular file reached through plain names: written in place
  bool magic_link = false;   // in place through a link only the kernel can follow (/dev/stdout)
};

// The system calls would stop at the first NUL and use a shorter path, so
// "m\0.json" would replace "m": such a path names no file and is refused
// with InvalidInput.
void check_path(const std::string& path);

// Walks the path as the kernel would for open(path, O_WRONLY | O_CREAT |
// O_TRUNC), following links (up to 40) where its protections for shared
// sticky directories allow, and opens the directory that holds the file. A
// relative path is resolved against the working directory as it is at this
// call, taken once. A directory fails with EISDIR at once, before any work;
// another user's link, file or FIFO in a sticky world-writable directory
// with EACCES. Only the caller's own file keeps its permission bits.
SaveTarget resolve_target(const std::string& path);

// The open output of one save. For a regular target it is a new temporary
// file `.<name>.kemb-tmp-<pid>-<16 hex digits>` in the target's directory,
// created exclusively; commit() closes it and renames it over the target.
// An output that is destroyed before commit() removes its temporary file.
class SaveFile {
 public:
  // Creates (or, in place, opens and truncates) the file: the step whose
  // failure fails the training call in the epoch of the save. Opening a
  // FIFO in place waits for a reader; a signal meanwhile calls `hook`
  // (which may throw) and the wait goes on. The in-place descriptor is then
  // made non-blocking, so that an abandoned save never waits on a reader.
  explicit SaveFile(SaveTarget target, const InterruptHook& hook = {});
  ~SaveFile();
  SaveFile(const SaveFile&) = delete;
  SaveFile& operator=(const SaveFile&) = delete;

  int fd() const noexcept { return file_.get(); }
  bool in_place() const noexcept { return target_.in_place; }
  // The file the save replaces, for messages.
  const std::string& target_path() const noexcept { return target_.path; }
  // True when `other` names the same file in the same directory (by
  // device and inode), as it did when this file was created.
  bool replaces(const SaveTarget& other) const;

  // Closes the file, checking the error, and renames it over the target.
  void commit();

 private:
  SaveTarget target_;
  std::string name_;  // the temporary file's name; the target's own in place
  dev_t directory_device_ = 0;
  ino_t directory_inode_ = 0;
  os::Descriptor file_;
  bool committed_ = false;
};

// Writes blocks to a descriptor at its current offset. Any failure ends the
// save with its errno. A raised `cancelled` flag ends it before the next
// block with "save abandoned" (an error nobody reports: the caller that
// raised the flag is already failing with its own). A non-blocking
// descriptor (a FIFO written in place) that is full is waited on in short
// slices, so the flag is seen while its reader is slow.
class FileSink final : public ByteSink {
 public:
  // `path` names the file in error messages.
  FileSink(int fd, std::string path, const std::atomic<bool>* cancelled = nullptr)
      : fd_(fd), path_(std::move(path)), cancelled_(cancelled) {}
  void write(const char* data, std::size_t size) override;

  // Appends `size` bytes of the file `source`, starting at `offset`, at the
  // current offset: copied inside the kernel (os::copy_range), or read and
  // written where it cannot copy between the two files. A source shorter
  // than asked fails with EIO.
  void copy_from(int source, std::uint64_t offset, std::uint64_t size);

  const std::string& path() const noexcept { return path_; }

  // Runs `hook` before each block, at most every kSaveHookInterval, so
  // that a caller writing on its own thread sees Ctrl-C meanwhile. The hook
  // may throw.
  void poll_with(const InterruptHook* hook) noexcept {
    poll_ = hook;
    next_poll_ = std::chrono::steady_clock::now() + kSaveHookInterval;
  }

 private:
  void check_cancelled() const;
  void poll();

  int fd_;
  std::string path_;
  const std::atomic<bool>* cancelled_;
  const InterruptHook* poll_ = nullptr;
  std::chrono::steady_clock::time_point next_poll_{};
};

// A new unnamed file (os::open_unnamed: read and write, no name, gone with
// its last descriptor) on the file system of `path`'s directory, or in the
// temporary directory (TMPDIR, else /tmp) when that one allows none; -1
// when neither does. For text that saves copy from.
int open_unnamed_file(const std::string& path);

// Raises the result error of an operating-system error number, naming the
// file the operation was about.
[[noreturn]] void throw_os_error(int errnum, const std::string& path);

// Raises "save abandoned": a save stopped on request. Nobody reports it; the
// caller that asked is already failing with its own error.
[[noreturn]] void throw_save_abandoned();

}  // namespace kemb::persistence
