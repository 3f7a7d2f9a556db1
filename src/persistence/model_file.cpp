// Files of the model: the plain atomic save (save_file does the file work)
// and the load over a buffered file source.
#include "persistence/model_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "os/descriptor.hpp"
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

// Reads a descriptor in the blocks the reader asks for. The hook runs at
// least every kHookBytes read or kHookInterval, and whenever a signal
// interrupts a read, so that an endless input (a FIFO, a device) can be
// stopped.
class FileSource final : public ByteSource {
 public:
  FileSource(int fd, const InterruptHook& hook) : fd_(fd), hook_(hook) {
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
      remaining_ = static_cast<std::size_t>(info.st_size);
    }
  }
  Chunk read(char* buffer, std::size_t capacity) override {
    while (true) {
      const ssize_t n = ::read(fd_, buffer, capacity);
      if (n < 0 && errno == EINTR) {
        if (hook_) hook_();
        continue;
      }
      if (n < 0) return {0, errno};
      const auto size = static_cast<std::size_t>(n);
      remaining_ = remaining_ > size ? remaining_ - size : 0;
      // A file that grows while it is read may hold more than fstat said.
      if (size > 0 && remaining_ == 0) remaining_ = SIZE_MAX;
      if (hook_) pace(size);
      return {size, 0};
    }
  }
  std::size_t remaining_hint() const override { return remaining_; }

 private:
  static constexpr std::size_t kHookBytes = std::size_t{64} << 20;
  static constexpr auto kHookInterval = std::chrono::milliseconds(100);

  void pace(std::size_t size) {
    since_hook_ += size;
    const auto now = std::chrono::steady_clock::now();
    if (since_hook_ >= kHookBytes || now - last_hook_ >= kHookInterval) {
      hook_();
      since_hook_ = 0;
      last_hook_ = now;
    }
  }

  int fd_;
  const InterruptHook& hook_;
  std::size_t remaining_ = SIZE_MAX;
  std::size_t since_hook_ = 0;
  std::chrono::steady_clock::time_point last_hook_ = std::chrono::steady_clock::now();
};

// The file of a load, closed whatever way the parse ends. Opening a FIFO
// without a writer waits; a signal meanwhile calls the hook.
os::Descriptor open_for_reading(const std::string& path, const InterruptHook& hook) {
  check_path(path);
  int fd;
  while ((fd = os::open_at(AT_FDCWD, path.c_str(), O_RDONLY)) < 0 && errno == EINTR) {
    if (hook) hook();
  }
  if (fd < 0) throw_os_error(errno, path);
  return os::Descriptor(fd);
}

}  // namespace

void save(const LinearModel& model, const std::string& path) { save_model(model, path); }

void save(const CategoricalModel& model, const std::string& path) { save_model(model, path); }

LinearModel load_linear_model(const std::string& path, const InterruptHook& hook) {
  const os::Descriptor file = open_for_reading(path, hook);
  FileSource source(file.get(), hook);
  return read_linear_model(source);
}

CategoricalModel load_categorical_model(const std::string& path, const InterruptHook& hook) {
  const os::Descriptor file = open_for_reading(path, hook);
  FileSource source(file.get(), hook);
  return read_categorical_model(source);
}

}  // namespace kemb::persistence
