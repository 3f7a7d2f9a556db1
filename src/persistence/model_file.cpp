// Files of the model: the plain atomic save (save_file does the file work)
// and the load over a buffered file source.
#include "persistence/model_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "persistence/reader.hpp"
#include "persistence/save_file.hpp"
#include "persistence/text_buffer.hpp"
#include "persistence/writer.hpp"

namespace kemb::persistence {
namespace {

template <typename Model>
void save_model(const Model& model, const std::string& path) {
  SaveFile file(resolve_target(path));
  FileSink sink(file.fd(), file.target_path());
  TextBuffer buffer(sink);
  write_model(model, buffer);
  buffer.finish();
  file.commit();
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
  explicit ReadOnlyFile(const std::string& path) {
    check_path(path);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw_os_error(errno, path);
  }
  ~ReadOnlyFile() { ::close(fd_); }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace

void save(const LinearModel& model, const std::string& path) { save_model(model, path); }

void save(const CategoricalModel& model, const std::string& path) { save_model(model, path); }

LinearModel load_linear_model(const std::string& path) {
  ReadOnlyFile file(path);
  FileSource source(file.fd());
  return read_linear_model(source);
}

CategoricalModel load_categorical_model(const std::string& path) {
  ReadOnlyFile file(path);
  FileSource source(file.fd());
  return read_categorical_model(source);
}

}  // namespace kemb::persistence
