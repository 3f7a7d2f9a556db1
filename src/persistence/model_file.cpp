// Files of the model: the atomic save (temporary file, then rename) and the
// load over a buffered file source.
#include "persistence/model_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <random>

#include "io/error.hpp"
#include "io/os_error.hpp"
#include "persistence/reader.hpp"
#include "persistence/text_buffer.hpp"
#include "persistence/writer.hpp"

namespace kemb::persistence {
namespace {

constexpr std::string_view kTemporaryMarker = ".kemb-tmp-";
constexpr std::size_t kHexDigits = 16;
// Room left for the marker, pid and random part within NAME_MAX.
constexpr std::size_t kMaxStemBytes = 200;
// Symbolic links followed before giving up, as the kernel does (ELOOP).
constexpr int kMaxLinks = 40;

[[noreturn]] void throw_os_error(int errnum) {
  throw_result_error(io::os_error_description(errnum));
}

// The system calls would stop at the first NUL and use a shorter path, so
// "m\0.json" would replace "m": such a path names no file and is refused.
void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw_result_error(
        "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
  }
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a save replaces: `path` with its chain of symbolic links
// followed. The result need not exist (a dangling link names a new file).
std::string resolve_links(std::string path) {
  for (int hops = 0; hops < kMaxLinks; ++hops) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) throw_os_error(errno);
    target.resize(static_cast<std::size_t>(n));
    path = (target.starts_with('/') ? target : directory_of(path) + "/" + target);
  }
  throw_os_error(ELOOP);
}

// Writes blocks to a descriptor; any failure ends the save with its errno.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  void write(const char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw_os_error(errno);
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
};

// The temporary file of one save: created exclusively next to the target,
// removed again unless commit() renamed it over the target.
class TemporaryFile {
 public:
  TemporaryFile(const std::string& target, mode_t mode, bool exact_mode) {
    std::random_device entropy;
    std::string stem = name_of(target).substr(0, kMaxStemBytes);
    for (int attempt = 0; attempt < 16; ++attempt) {
      path_ = directory_of(target) + "/." + stem + std::string(kTemporaryMarker) +
              std::to_string(::getpid()) + "-" + random_hex(entropy);
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) throw_os_error(errno);
    // The creation mask must not narrow the bits of the file being replaced.
    if (exact_mode && ::fchmod(fd_, mode) != 0) fail(errno);
  }
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }

  void commit(const std::string& target) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail(errno);
    if (::rename(path_.c_str(), target.c_str()) != 0) fail(errno);
    committed_ = true;
  }

 private:
  [[noreturn]] void fail(int errnum) { throw_os_error(errnum); }

  static std::string random_hex(std::random_device& entropy) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::uint64_t bits = (std::uint64_t{entropy()} << 32) | entropy();
    std::string out(kHexDigits, '0');
    for (char& c : out) c = kHex[bits & 0xf], bits >>= 4;
    return out;
  }

  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

// A target that exists but is no regular file (a FIFO, a device) cannot be
// replaced by renaming without destroying it: it is written in place.
template <typename Model>
void save_in_place(const Model& model, const std::string& target) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) throw_os_error(errno);
  try {
    FileSink sink(fd);
    TextBuffer buffer(sink);
    write_model(model, buffer);
    buffer.finish();
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0) throw_os_error(errno);
}

template <typename Model>
void save_model(const Model& model, const std::string& path) {
  check_path(path);
  const std::string target = resolve_links(path);
  struct stat info;
  mode_t mode = 0666;
  bool exact_mode = false;
  if (::stat(target.c_str(), &info) == 0) {
    // Replacing a directory would fail only at the rename, after all the work.
    if (S_ISDIR(info.st_mode)) throw_os_error(EISDIR);
    if (!S_ISREG(info.st_mode)) return save_in_place(model, target);
    mode = info.st_mode & 0777;
    exact_mode = true;
  }
  TemporaryFile file(target, mode, exact_mode);
  FileSink sink(file.fd());
  TextBuffer buffer(sink);
  write_model(model, buffer);
  buffer.finish();
  file.commit(target);
}

// Reads a descriptor in the blocks the reader asks for.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
      remaining_ = static_cast<std::size_t>(info.st_size);
    }
  }
  Chunk read(char* buffer, std::size_t capacity) override {
    while (true) {
      const ssize_t n = ::read(fd_, buffer, capacity);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return {0, errno};
      const auto size = static_cast<std::size_t>(n);
      remaining_ = remaining_ > size ? remaining_ - size : 0;
      // A file that grows while it is read may hold more than fstat said.
      if (size > 0 && remaining_ == 0) remaining_ = SIZE_MAX;
      return {size, 0};
    }
  }
  std::size_t remaining_hint() const override { return remaining_; }

 private:
  int fd_;
  std::size_t remaining_ = SIZE_MAX;
};

// Closes the descriptor of a load whatever way the parse ends.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw_os_error(errno);
  }
  ~ReadOnlyFile() { ::close(fd_); }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

void save(const LinearModel& model, const std::string& path) { save_model(model, path); }

void save(const CategoricalModel& model, const std::string& path) { save_model(model, path); }

LinearModel load_linear_model(const std::string& path) {
  check_path(path);
  ReadOnlyFile file(path);
  FileSource source(file.fd());
  return read_linear_model(source);
}

CategoricalModel load_categorical_model(const std::string& path) {
  check_path(path);
  ReadOnlyFile file(path);
  FileSource source(file.fd());
  return read_categorical_model(source);
}

bool is_temporary_name(const std::string& file_name) {
  const std::size_t marker = file_name.rfind(kTemporaryMarker);
  if (!file_name.starts_with('.') || marker == std::string::npos || marker < 2) return false;
  const std::string_view tail = std::string_view(file_name).substr(marker + kTemporaryMarker.size());
  const std::size_t dash = tail.find('-');
  if (dash == 0 || dash == std::string_view::npos || tail.size() - dash - 1 != kHexDigits) {
    return false;
  }
  for (std::size_t i = 0; i < tail.size(); ++i) {
    const char c = tail[i];
    const bool ok = i < dash ? (c >= '0' && c <= '9')
                   : i > dash ? ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))
                              : true;
    if (!ok) return false;
  }
  return true;
}

}  // namespace kemb::persistence
