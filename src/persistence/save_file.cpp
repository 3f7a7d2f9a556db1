// The file side of a save: target resolution, the temporary file and its
// rename, and the sink.
#include "persistence/save_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <random>

#include "io/error.hpp"
#include "io/number_format.hpp"
#include "io/os_error.hpp"
#include "os/entropy.hpp"
#include "os/files.hpp"
#include "os/path_walk.hpp"

namespace kemb::persistence {

using io::Error;
using io::throw_result_error;

namespace {

// Room left for the marker, pid and random part within NAME_MAX.
constexpr std::size_t kMaxStemBytes = 200;
// Bytes copied per step, so that an abandoned save stops promptly.
constexpr std::uint64_t kCopyStep = std::uint64_t{8} << 20;

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A full pipe (a FIFO written in place) is waited on in slices this long,
// so that an abandoned save notices its flag.
constexpr int kPipeWaitMs = 50;

// Names only need to differ (O_EXCL catches a clash), so a generator seeded
// once per thread serves, instead of reading the entropy source per save.
std::string random_hex() {
  thread_local std::mt19937_64 generator = [] {
    std::uint64_t seed = 0;
    if (os::fill_entropy(&seed, sizeof seed) != 0) {
      seed =
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return std::mt19937_64(seed);
  }();
  std::uint64_t bits = generator();
  std::string out(kTemporaryHexDigits, '0');
  for (char& c : out) c = io::kHexDigits[bits & 0xf], bits >>= 4;
  return out;
}

// Creates the temporary file of `target` exclusively in its directory;
// returns its descriptor and sets `name`.
int create_temporary(const SaveTarget& target, std::string& name) {
  const std::string stem = target.name.substr(0, kMaxStemBytes);
  int fd = -1;
  for (int attempt = 0; attempt < 16; ++attempt) {
    name = "." + stem + std::string(kTemporaryMarker) + std::to_string(::getpid()) + "-" +
           random_hex();
    fd =
        os::open_at(target.directory.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL, target.mode);
    if (fd >= 0 || errno != EEXIST) break;
  }
  if (fd < 0) throw_os_error(errno, target.path);
  return fd;
}

// read() and write() where the kernel cannot copy.
void copy_by_reading(int source, std::uint64_t offset, std::uint64_t size, FileSink& sink) {
  const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(size, 1 << 20));
  const tensor::Bytes buffer = tensor::checked_bytes(block);
  while (size > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, block));
    const ssize_t n = ::pread(source, buffer.get(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw_os_error(errno, sink.path());
    if (n == 0) throw_os_error(EIO, sink.path());
    sink.write(buffer.get(), static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::uint64_t>(n);
  }
}

}  // namespace

[[noreturn]] void throw_os_error(int errnum, const std::string& path) {
  throw_result_error(io::os_error_description(errnum, path));
}

[[noreturn]] void throw_save_abandoned() { throw Error("save abandoned"); }

int open_unnamed_file(const std::string& path) {
  const char* tmpdir = std::getenv("TMPDIR");
  for (const std::string& dir : {directory_of(path), std::string(tmpdir ? tmpdir : "/tmp")}) {
    const int fd = os::open_unnamed(dir.c_str());
    if (fd >= 0) return fd;
  }
  return -1;
}

void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw_result_error(
        "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
  }
}

SaveTarget resolve_target(const std::string& given) {
  check_path(given);
  os::WalkedPath walked;
  if (const int error = os::walk_for_writing(given, walked); error != 0) {
    throw_os_error(error, walked.shown);
  }
  SaveTarget target;
  target.path = std::move(walked.shown);
  target.directory = std::move(walked.directory);
  target.name = std::move(walked.name);
  using Kind = os::WalkedPath::Kind;
  const mode_t type = walked.object.st_mode & S_IFMT;
  // Another user's file or FIFO in a shared sticky directory: that user
  // could read the model (and the data set in it) or swap the file; an
  // O_CREAT open of it is refused the same way.
  if ((walked.kind == Kind::regular || (walked.kind == Kind::other && type == S_IFIFO)) &&
      os::protected_from_caller(walked.object, walked.holder)) {
    throw_os_error(EACCES, target.path);
  }
  switch (walked.kind) {
    case Kind::absent:
      break;
    case Kind::regular:
      // Renaming over a file gives the new one the caller's ownership; only
      // the caller's own bits are kept, not bits someone else chose.
      if (walked.object.st_uid == os::file_system_uid()) {
        target.mode = walked.object.st_mode & 0777;
        target.exact_mode = true;
      }
      break;
    case Kind::other:
      // Renaming over a FIFO or a device would destroy the node.
      target.in_place = true;
      break;
    case Kind::magic_link:
      // /dev/stdout and its kind: written where the kernel's link leads.
      target.in_place = true;
      target.magic_link = true;
      break;
  }
  return target;
}

SaveFile::SaveFile(SaveTarget target, const InterruptHook& hook) : target_(std::move(target)) {
  const int directory = target_.directory.get();
  struct stat info;
  if (::fstat(directory, &info) == 0) {
    directory_device_ = info.st_dev;
    directory_inode_ = info.st_ino;
  }
  if (target_.in_place) {
    name_ = target_.name;
    // A FIFO without a reader blocks here; Ctrl-C interrupts the wait.
    // Not following a link planted since the walk, unless the link is
    // the target itself.
    const int flags = O_WRONLY | O_TRUNC | O_NOCTTY | (target_.magic_link ? 0 : O_NOFOLLOW);
    int fd;
    while ((fd = os::open_at(directory, name_.c_str(), flags)) < 0 && errno == EINTR) {
      if (hook) hook();
    }
    if (fd < 0) throw_os_error(errno, target_.path);
    file_.reset(fd);
    const int status = ::fcntl(fd, F_GETFL);
    if (status >= 0) ::fcntl(fd, F_SETFL, status | O_NONBLOCK);
    return;
  }
  file_.reset(create_temporary(target_, name_));
  // The creation mask must not narrow the bits of the file being replaced.
  if (target_.exact_mode && ::fchmod(file_.get(), target_.mode) != 0) {
    const int errnum = errno;
    file_.reset();
    ::unlinkat(directory, name_.c_str(), 0);
    throw_os_error(errnum, target_.path);
  }
}

SaveFile::~SaveFile() {
  file_.reset();
  if (!committed_ && !target_.in_place) ::unlinkat(target_.directory.get(), name_.c_str(), 0);
}

bool SaveFile::replaces(const SaveTarget& other) const {
  struct stat info;
  return other.name == target_.name && other.in_place == target_.in_place &&
         ::fstat(other.directory.get(), &info) == 0 && info.st_dev == directory_device_ &&
         info.st_ino == directory_inode_;
}

void SaveFile::commit() {
  if (const int error = file_.close(); error != 0) throw_os_error(error, target_.path);
  const int directory = target_.directory.get();
  if (!target_.in_place &&
      ::renameat(directory, name_.c_str(), directory, target_.name.c_str()) != 0) {
    throw_os_error(errno, target_.path);
  }
  committed_ = true;
}

void FileSink::check_cancelled() const {
  if (cancelled_ != nullptr && cancelled_->load(std::memory_order_relaxed)) {
    throw_save_abandoned();
  }
}

void FileSink::poll() {
  if (poll_ == nullptr) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_poll_) return;
  next_poll_ = now + kSaveHookInterval;
  (*poll_)();
}

void FileSink::write(const char* data, std::size_t size) {
  check_cancelled();
  poll();
  // A full pipe is waited on in slices, so that the flag is seen.
  const auto wait_for_room = [this] {
    pollfd ready{fd_, POLLOUT, 0};
    ::poll(&ready, 1, kPipeWaitMs);
    check_cancelled();
  };
  if (const int error = os::write_all(fd_, data, size, wait_for_room); error != 0) {
    throw_os_error(error, path_);
  }
}

void FileSink::copy_from(int source, std::uint64_t offset, std::uint64_t size) {
  while (size > 0) {
    check_cancelled();
    poll();
    auto in = static_cast<off_t>(offset);
    const ssize_t n =
        os::copy_range(source, &in, fd_, static_cast<std::size_t>(std::min(size, kCopyStep)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                  errno == EBADF)) {
      // File systems or kernels that cannot copy between these two files.
      return copy_by_reading(source, offset, size, *this);
    }
    if (n < 0) throw_os_error(errno, path_);
    if (n == 0) throw_os_error(EIO, path_);
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::uint64_t>(n);
  }
}

}  // namespace kemb::persistence
