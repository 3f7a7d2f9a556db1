// snapshot: what a background save writes. The copy of a model taken in the
// epoch of the save (walked by the field tables), the text of the first
// layer's input, which is the same at every save of a call and so is
// formatted once, and the MatrixText that puts that text into each save.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "dyn_layer.hpp"
#include "os/descriptor.hpp"
#include "persistence/save_file.hpp"
#include "persistence/writer.hpp"

namespace kemb::persistence {

// Every field of `src` into `dst`, reusing dst's storage; layer 0's
// `inputs` only when `with_inputs`.
void copy_layer(const Layer& src, Layer& dst, bool with_inputs);

template <typename Model>
void copy_model(const Model& src, Model& dst, bool skip_first_input) {
  for_each_field(Model::fields(), [&](const auto& field, std::size_t) {
    const auto& from = src.*(field.member);
    auto& to = dst.*(field.member);
    if constexpr (std::is_same_v<std::decay_t<decltype(from)>, std::vector<Layer>>) {
      to.resize(from.size());
      for (std::size_t i = 0; i < from.size(); ++i) {
        copy_layer(from[i], to[i], !(skip_first_input && i == 0));
      }
    } else {
      to = from;
    }
  });
}

// The text of layer 0's inputs, the same at every save of a call: formatted
// once into an unnamed file that every save copies it from. Without such a
// file (no file system at hand allows one, writing it failed or was
// stopped) each save formats the matrix itself.
class FirstInput {
 public:
  FirstInput() = default;
  FirstInput(const FirstInput&) = delete;
  FirstInput& operator=(const FirstInput&) = delete;

  // The matrix layer 0's inputs holds at every save; read where it lies.
  void give(ArrayView matrix) noexcept {
    matrix_ = matrix;
    given_ = true;
  }
  bool given() const noexcept { return given_; }

  // Formats the text into a new unnamed file near `path`, as many threads
  // as `threads` holds at each block. Any failure (a full disk, memory)
  // only means that the saves format it themselves; a raised `stop` ends it
  // at the next block.
  void prepare(const std::string& path, const std::atomic<unsigned>& threads,
               const std::atomic<bool>* stop);

  // The array object of the matrix at the current offset of `out` and
  // `sink`: copied from the prepared file, or formatted.
  void append(TextBuffer& out, FileSink& sink, const std::atomic<unsigned>& threads) const;

 private:
  ArrayView matrix_;
  bool given_ = false;
  os::Descriptor file_;  // the unnamed file with the complete text, if any
  std::uint64_t length_ = 0;
};

// The matrices of a snapshot: every one formatted, except layer 0's inputs
// when it is the call's first input, whose prepared text is copied in.
class SnapshotMatrices final : public MatrixText {
 public:
  SnapshotMatrices(const FirstInput& first, FileSink& sink, const std::atomic<unsigned>& threads)
      : first_(first), sink_(sink), threads_(threads) {}

  void append(TextBuffer& out, std::size_t layer, tensor::Matrix Layer::*field,
              const tensor::Matrix& matrix) override;

 private:
  const FirstInput& first_;
  FileSink& sink_;
  const std::atomic<unsigned>& threads_;
};

}  // namespace kemb::persistence
