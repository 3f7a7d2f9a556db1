// writer: the model file text of LinearModel and CategoricalModel. One pass,
// front to back, compact (no whitespace), keys in field order, strings
// escaped, floats in the float_text form, arrays as {"v":1,"dim":[...],
// "data":[...]} in row-major order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "persistence/text_buffer.hpp"
#include "tensor/matrix.hpp"

namespace kemb::persistence {

// One array object. Kept apart from the model walk so that the text of a
// large array can be produced on its own (cached, or split over threads).
// A matrix whose shape does not match its element count raises "ndarray:
// index out of bounds" before anything is written.
// matrix: (rows, cols) -> {"v":1,"dim":[rows,cols],"data":[...]}
void append_array(TextBuffer& out, const tensor::Matrix& matrix);
// vector: (n) -> {"v":1,"dim":[n],"data":[...]}
void append_array(TextBuffer& out, const tensor::Vector& vector);

// The same text, with arrays of at least kSplitElements values formatted
// block by block by as many threads (the calling one included) as `threads`
// holds when each block starts, so a waiting caller can add threads to an
// array already under way; the bytes are those of append_array.
inline constexpr std::size_t kSplitElements = std::size_t{1} << 20;
void append_array(TextBuffer& out, const tensor::Matrix& matrix,
                  const std::atomic<unsigned>& threads);

// A matrix's shape and values where they lie: rows x cols floats, row after
// row, from `data`.
struct ArrayView {
  std::size_t rows = 0;
  std::size_t cols = 0;
  const float* data = nullptr;

  static ArrayView of(const tensor::Matrix& m) { return {m.rows, m.cols, m.data.data()}; }
};
// The same text for the matrix `view` shows.
void append_array(TextBuffer& out, ArrayView view, const std::atomic<unsigned>& threads);

// Supplies the array objects of the layers' matrices (`field` names which
// one of layer number `layer`). The plain writer formats each with
// append_array; a save that has the text of an unchanged array at hand puts
// that text instead. Whatever it does, the bytes must be those append_array
// would write.
class MatrixText {
 public:
  virtual void append(TextBuffer& out, std::size_t layer, tensor::Matrix Layer::*field,
                      const tensor::Matrix& matrix) = 0;

 protected:
  ~MatrixText() = default;
};

// A JSON string: quotation mark and backslash escaped, \b \f \n \r \t, other
// bytes below 0x20 as \u00xx, every other byte (UTF-8 included) as it is.
void append_string(TextBuffer& out, std::string_view text);

// The whole document. finish() is left to the caller.
void write_model(const LinearModel& model, TextBuffer& out);
void write_model(const CategoricalModel& model, TextBuffer& out);
// The same, with the matrices of the layers supplied by `matrices`.
void write_model(const LinearModel& model, TextBuffer& out, MatrixText& matrices);
void write_model(const CategoricalModel& model, TextBuffer& out, MatrixText& matrices);

// The whole document appended to `out`.
void write_model(const LinearModel& model, std::string& out);
void write_model(const CategoricalModel& model, std::string& out);

}  // namespace kemb::persistence
