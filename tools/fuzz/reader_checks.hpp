// The properties the reader fuzz target checks on every input.
//
// For both model kinds, any byte sequence must:
//  - give a model or a kemb::Error whose message is a parse error
//    ("called `Result::unwrap()` on an `Err` value: Error(...)"); any other
//    exception, a crash or a sanitizer report is a finding;
//  - give the same outcome read at once from memory and read in small pieces
//    from a byte source (block boundaries must not change results or
//    positions);
//  - when accepted, write back to a document that reads again and writes to
//    the same bytes a second time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "io/error.hpp"
#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "persistence/reader.hpp"
#include "persistence/writer.hpp"

namespace kemb::fuzz {

// Hands the text out in pieces of 1 to `max_piece` bytes (a fixed pattern
// derived from `seed`), and tells the reader how much is left so that the
// bounded reservation of array data is exercised too.
class PieceSource final : public persistence::ByteSource {
 public:
  PieceSource(std::string_view text, std::uint32_t seed, std::size_t max_piece)
      : text_(text), state_(seed | 1u), max_piece_(max_piece) {}
  Chunk read(char* buffer, std::size_t capacity) override {
    state_ = state_ * 1664525u + 1013904223u;
    const std::size_t want = 1 + (state_ >> 16) % max_piece_;
    const std::size_t n = std::min({text_.size(), capacity, want});
    std::memcpy(buffer, text_.data(), n);
    text_.remove_prefix(n);
    return {n, 0};
  }
  std::size_t remaining_hint() const override { return text_.size(); }

 private:
  std::string_view text_;
  std::uint32_t state_;
  std::size_t max_piece_;
};

template <typename Model>
Model read_text(std::string_view text) {
  if constexpr (std::is_same_v<Model, LinearModel>) {
    return persistence::read_linear_model(text);
  } else {
    return persistence::read_categorical_model(text);
  }
}

template <typename Model>
Model read_pieces(std::string_view text, std::uint32_t seed) {
  PieceSource source(text, seed, 9);
  if constexpr (std::is_same_v<Model, LinearModel>) {
    return persistence::read_linear_model(source);
  } else {
    return persistence::read_categorical_model(source);
  }
}

template <typename Model>
std::string text_of(const Model& model) {
  std::string out;
  persistence::write_model(model, out);
  return out;
}

// "ok:" and the rewritten document, or "error:" and the message. Exceptions
// other than kemb::Error propagate: they are findings.
template <typename Model, typename Read>
std::string outcome(Read&& read) {
  try {
    return "ok:" + text_of<Model>(read());
  } catch (const io::Error& e) {
    return std::string("error:") + e.what();
  }
}

// An empty string when every property holds for `Model`, otherwise what
// went wrong.
template <typename Model>
std::string check_kind(std::string_view text) {
  const std::string whole = outcome<Model>([&] { return read_text<Model>(text); });
  const auto seed = static_cast<std::uint32_t>(text.size());
  const std::string pieces = outcome<Model>([&] { return read_pieces<Model>(text, seed); });
  if (whole != pieces) return "memory and piecewise reads differ:\n" + whole + "\n" + pieces;
  if (whole.starts_with("error:")) {
    constexpr std::string_view kParseError =
        "error:called `Result::unwrap()` on an `Err` value: Error(\"";
    if (!whole.starts_with(kParseError)) return "not a parse error: " + whole;
    return "";
  }
  const std::string written = whole.substr(3);
  const std::string again = outcome<Model>([&] { return read_text<Model>(written); });
  if (again != whole) return "the written document does not read back:\n" + written + "\n" + again;
  return "";
}

inline std::string check_input(std::string_view text) {
  std::string problem = check_kind<LinearModel>(text);
  if (problem.empty()) problem = check_kind<CategoricalModel>(text);
  return problem;
}

}  // namespace kemb::fuzz
