// TextBuffer: where the writer puts its bytes. Text collects in one large
// block; a full block is appended to a string (writing into memory) or handed
// whole to a ByteSink (writing a file), so the sink sees few, large writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tensor/matrix.hpp"

namespace kemb::persistence {

// Receives the document in blocks, in order. A failing sink throws
// kemb::Error; the writer stops there.
class ByteSink {
 public:
  virtual void write(const char* data, std::size_t size) = 0;

 protected:
  ~ByteSink() = default;
};

class TextBuffer {
 public:
  // Large enough that a 100 MB model costs about a hundred write calls.
  static constexpr std::size_t kBlockSize = std::size_t{1} << 20;

  // Every byte is appended to `out` (by finish() at the latest).
  explicit TextBuffer(std::string& out);
  // Full blocks go to `sink`; finish() hands over the rest.
  explicit TextBuffer(ByteSink& sink);

  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  // A pointer to at least `n` writable bytes (n <= kBlockSize); the caller
  // fills some of them and passes the end of what it wrote to commit().
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(limit_ - pos_) < n) drain();
    return pos_;
  }
  void commit(char* end) noexcept { pos_ = end; }

  void push(char c) {
    char* p = room(1);
    *p = c;
    pos_ = p + 1;
  }
  void append(std::string_view text);

  // Hands over what is left in the block.
  void finish() { drain(); }

  // Bytes of the document so far: handed over plus waiting in the block.
  std::uint64_t position() const noexcept {
    return handed_over_ + static_cast<std::uint64_t>(pos_ - block_.get());
  }
  // Counts `n` bytes that the caller put into the sink itself, right after
  // a finish(), so that position() stays the document offset.
  void account(std::uint64_t n) noexcept { handed_over_ += n; }

 private:
  void drain();

  tensor::Bytes block_;
  char* pos_;
  char* limit_;
  std::string* out_ = nullptr;
  ByteSink* sink_ = nullptr;
  std::uint64_t handed_over_ = 0;
};

}  // namespace kemb::persistence
