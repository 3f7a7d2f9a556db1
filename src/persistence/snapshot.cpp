// Snapshot copies and the first input's text.
#include "persistence/snapshot.hpp"

#include <exception>
#include <utility>

namespace kemb::persistence {

using tensor::Matrix;

void copy_layer(const Layer& src, Layer& dst, bool with_inputs) {
  for_each_field(Layer::fields(), [&](const auto& field, std::size_t) {
    if constexpr (std::is_same_v<typename std::decay_t<decltype(field)>::Type, Matrix>) {
      if (!with_inputs && field.member == &Layer::inputs) return;
    }
    dst.*(field.member) = src.*(field.member);
  });
}

void FirstInput::prepare(const std::string& path, const std::atomic<unsigned>& threads,
                         const std::atomic<bool>* stop) {
  os::Descriptor file(open_unnamed_file(path));
  if (!file) return;
  try {
    FileSink sink(file.get(), path, stop);
    TextBuffer buffer(sink);
    append_array(buffer, matrix_, threads);
    buffer.finish();
    length_ = buffer.position();
    file_ = std::move(file);
  } catch (const std::exception&) {
  }
}

void FirstInput::append(TextBuffer& out, FileSink& sink,
                        const std::atomic<unsigned>& threads) const {
  if (!file_) {
    append_array(out, matrix_, threads);
    return;
  }
  out.finish();
  sink.copy_from(file_.get(), 0, length_);
  out.account(length_);
}

void SnapshotMatrices::append(TextBuffer& out, std::size_t layer, Matrix Layer::*field,
                              const Matrix& matrix) {
  if (layer == 0 && field == &Layer::inputs && first_.given()) {
    first_.append(out, sink_, threads_);
  } else {
    append_array(out, matrix, threads_);
  }
}

}  // namespace kemb::persistence
