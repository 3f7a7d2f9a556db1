// Block handling of TextBuffer.
#include "persistence/text_buffer.hpp"

#include <algorithm>
#include <cstring>

namespace kemb::persistence {

TextBuffer::TextBuffer(std::string& out)
    : block_(tensor::checked_bytes(kBlockSize)), pos_(block_.get()), limit_(pos_ + kBlockSize), out_(&out) {}

TextBuffer::TextBuffer(ByteSink& sink)
    : block_(tensor::checked_bytes(kBlockSize)), pos_(block_.get()), limit_(pos_ + kBlockSize), sink_(&sink) {}

void TextBuffer::append(std::string_view text) {
  while (!text.empty()) {
    if (pos_ == limit_) drain();
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(limit_ - pos_));
    std::memcpy(pos_, text.data(), n);
    pos_ += n;
    text.remove_prefix(n);
  }
}

void TextBuffer::drain() {
  const std::size_t used = static_cast<std::size_t>(pos_ - block_.get());
  if (used == 0) return;
  // The block is emptied only after the sink took it: a sink that throws
  // leaves the buffer as it was, and the writer stops anyway.
  if (sink_ != nullptr) {
    sink_->write(block_.get(), used);
  } else {
    out_->append(block_.get(), used);
  }
  handed_over_ += used;
  pos_ = block_.get();
}

}  // namespace kemb::persistence
