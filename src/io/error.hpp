// The core's one error type and the builders of the messages that several
// modules share. Every failure of the core is a kemb::Error; the bindings
// turn it into PanicException and print its origin on standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kemb::io {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message,
                 std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}

  // Where the failure was detected: reported next to the message on stderr.
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

// Prefix of every failure that wraps an underlying error (file, parse and
// probability errors).
inline constexpr const char* kResultUnwrap = "called `Result::unwrap()` on an `Err` value: ";

// "called `Result::unwrap()` on an `Err` value: <description>"
[[noreturn]] void throw_result_error(const std::string& description,
                                     std::source_location where = std::source_location::current());

// A message quotes at most this many bytes of a token of the input or of a
// path, so that a hostile file or argument cannot make an error text (and
// the memory behind it) as large as itself.
inline constexpr std::size_t kQuotedBytes = 256;

// The part of `text` a message quotes: all of it, or its first kQuotedBytes
// bytes at most, cut before a UTF-8 character that would not fit whole (the
// message must stay valid UTF-8).
std::string_view quoted_part(std::string_view text);

// What follows a quote that shows `shown` bytes of a token of `size` bytes:
// nothing when it shows all of them, else " [cut: <size> bytes]".
std::string cut_marker(std::uint64_t shown, std::uint64_t size);

// "called `Option::unwrap()` on a `None` value": a value that is missing.
[[noreturn]] void throw_missing_value(std::source_location where = std::source_location::current());

// "ndarray: index out of bounds": an element access outside an array.
[[noreturn]] void throw_index_out_of_bounds(
    std::source_location where = std::source_location::current());

// "index out of bounds: the len is {len} but the index is {index}": a
// sequence index outside the sequence.
[[noreturn]] void throw_sequence_index(std::size_t len, std::size_t index,
                                       std::source_location where = std::source_location::current());

// "ndarray: inputs {m} × {k} and {k2} × {n} are not compatible for matrix
// multiplication": a matrix product of unsuited shapes.
[[noreturn]] void throw_incompatible_product(
    std::size_t m, std::size_t k, std::size_t k2, std::size_t n,
    std::source_location where = std::source_location::current());

// "memory allocation of {bytes} bytes failed"
[[noreturn]] void throw_allocation_failed(
    std::size_t bytes, std::source_location where = std::source_location::current());

// "capacity overflow": a size whose byte count does not fit the address space.
[[noreturn]] void throw_capacity_overflow(
    std::source_location where = std::source_location::current());

}  // namespace kemb::io
