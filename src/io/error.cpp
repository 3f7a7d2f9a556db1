// Builders of the shared failure messages, so that each fixed text is spelled
// in exactly one place.
#include "io/error.hpp"

namespace kemb::io {

std::string_view quoted_part(std::string_view text) {
  if (text.size() <= kQuotedBytes) return text;
  std::size_t end = kQuotedBytes;
  // Back to the lead byte of the character that the cut would split.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string cut_marker(std::uint64_t shown, std::uint64_t size) {
  if (shown >= size) return {};
  return " [cut: " + std::to_string(size) + " bytes]";
}

void throw_result_error(const std::string& description, std::source_location where) {
  throw Error(std::string(kResultUnwrap) + description, where);
}

void throw_missing_value(std::source_location where) {
  throw Error("called `Option::unwrap()` on a `None` value", where);
}

void throw_index_out_of_bounds(std::source_location where) {
  throw Error("ndarray: index out of bounds", where);
}

void throw_sequence_index(std::size_t len, std::size_t index, std::source_location where) {
  throw Error("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                  std::to_string(index),
              where);
}

void throw_incompatible_product(std::size_t m, std::size_t k, std::size_t k2, std::size_t n,
                                std::source_location where) {
  throw Error("ndarray: inputs " + std::to_string(m) + " \u00d7 " + std::to_string(k) + " and " +
                  std::to_string(k2) + " \u00d7 " + std::to_string(n) +
                  " are not compatible for matrix multiplication",
              where);
}

void throw_allocation_failed(std::size_t bytes, std::source_location where) {
  throw Error("memory allocation of " + std::to_string(bytes) + " bytes failed", where);
}

void throw_capacity_overflow(std::source_location where) {
  throw Error("capacity overflow", where);
}

}  // namespace kemb::io
