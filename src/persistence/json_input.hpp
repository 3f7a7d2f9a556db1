// JsonInput: the token level of the model file reader. It pulls bytes from
// memory or from a ByteSource in blocks, tracks the line and column of the
// last byte consumed, and reads or skips the JSON values the schema asks
// for. Every failure is a kemb::Error carrying
//   called `Result::unwrap()` on an `Err` value: Error("<message>", line: L, column: C)
// where L is 1-based and C counts the bytes consumed on that line (so the
// column of an offending byte is its 1-based position; 0 right after a line
// feed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "persistence/json_number.hpp"
#include "tensor/matrix.hpp"

namespace kemb::persistence {

// Supplies the bytes of a document in order.
class ByteSource {
 public:
  struct Chunk {
    std::size_t size = 0;  // 0 at the end of the input
    int error = 0;         // errno of a failed read, 0 otherwise
  };
  virtual Chunk read(char* buffer, std::size_t capacity) = 0;
  // An upper bound of the bytes still to come (SIZE_MAX when unknown); lets
  // the reader reserve an array once without trusting the file's shapes.
  virtual std::size_t remaining_hint() const { return SIZE_MAX; }

 protected:
  ~ByteSource() = default;
};

// A token as field lookups and messages keep it: at most io::kQuotedBytes
// bytes of its text (whole characters), and the size of the whole token,
// so that a key of a hundred million bytes costs no more than a short one.
struct TokenText {
  std::string text;
  std::uint64_t size = 0;
  bool cut() const { return size > text.size(); }
};

class JsonInput {
 public:
  // Nesting deeper than this fails with "recursion limit exceeded" instead
  // of exhausting the stack on hostile input.
  static constexpr int kMaxDepth = 128;

  explicit JsonInput(std::string_view text);
  explicit JsonInput(ByteSource& source);

  JsonInput(const JsonInput&) = delete;
  JsonInput& operator=(const JsonInput&) = delete;

  // Fails at the current position.
  [[noreturn]] void fail(std::string_view message) const;
  // Consumes the offending byte (unless at the end or a line feed), then fails.
  [[noreturn]] void fail_at_peek(std::string_view message);
  // "invalid type: <what was found>, expected <expected>"; consumes the
  // scalar it describes (or the bracket of a container).
  [[noreturn]] void fail_invalid_type(std::string_view expected);

  // Skips whitespace; the next byte without consuming it, -1 at the end.
  int peek_token() {
    while (true) {
      if (cur_ == end_ && !refill()) return -1;
      const char c = *cur_;
      if (c == ' ' || c == '\t' || c == '\r') {
        ++cur_;
      } else if (c == '\n') {
        ++cur_;
        new_line();
      } else {
        return static_cast<unsigned char>(c);
      }
    }
  }
  // Consumes the byte peek_token() returned (never a line feed).
  void bump() { ++cur_; }

  // Nesting accounting around every object and array.
  void enter() {
    if (++depth_ > kMaxDepth) fail("recursion limit exceeded");
  }
  void leave() { --depth_; }

  // Inside an object whose '{' is consumed: false after consuming '}', true
  // after consuming the next key and its ':' (the key is stored in `key`
  // unless it is null).
  bool next_key(bool first, TokenText* key);
  // Inside an array whose '[' is consumed: false after consuming ']', true
  // when a value follows.
  bool next_element(bool first);
  // Skips the rest of an array after `counted` values and fails with
  // "invalid length N, expected fewer elements in array" when values remain.
  void end_array(std::size_t counted);

  // Values. Each skips leading whitespace and fails with an "invalid type"
  // error when the next value is of another JSON type.
  void read_string(std::string& out);
  std::uint64_t read_unsigned();
  float read_float();  // null reads as NaN: the writer's form of NaN and infinities
  // [f, f, ...] appended to `out`.
  void read_float_array(tensor::FloatArray& out);
  // Any JSON value, checked and dropped.
  void skip_value();

  // After the document: only whitespace may follow ("trailing characters").
  void finish();

  // An upper bound of the bytes left (see ByteSource::remaining_hint).
  std::size_t remaining_hint() const;

 private:
  bool refill();
  void new_line() {
    ++line_;
    line_start_ = offset();
  }
  std::uint64_t offset() const {
    return discarded_ + static_cast<std::uint64_t>(cur_ - begin_);
  }
  int next_byte() {
    if (cur_ == end_ && !refill()) return -1;
    return static_cast<unsigned char>(*cur_++);
  }
  // The string after its opening quote, decoded into `out` as far as whole
  // characters fit within `keep` bytes (checked only when `out` is null);
  // returns the size of the whole decoded string.
  std::uint64_t read_string_body(std::string* out, std::size_t keep = SIZE_MAX);
  std::size_t read_escape(char* bytes);
  std::uint32_t read_hex4();
  std::size_t read_utf8_tail(unsigned char lead, char* bytes);
  NumberToken read_number();
  NumberToken read_number_slow();
  NumberToken whole_number(const char* first, const char* last);
  // The number just read as a message quotes it, in backquotes.
  std::string quoted_number(const NumberToken& number) const;
  void expect_literal(std::string_view literal);
  std::string describe_found();

  ByteSource* source_ = nullptr;
  std::vector<char> buffer_;
  const char* begin_;
  const char* cur_;
  const char* end_;
  std::uint64_t discarded_ = 0;  // bytes of earlier blocks
  std::uint64_t line_ = 1;
  std::uint64_t line_start_ = 0;  // offset of the first byte of the current line
  int depth_ = 0;
  bool at_end_ = false;  // the source has reported its end
  std::string scratch_;  // a number split across blocks, or a described string
  // The last number was too long to keep (LongNumber): scratch_ holds a
  // text of its value, number_head_ its first bytes for messages.
  bool long_number_ = false;
  std::uint64_t number_size_ = 0;
  std::string number_head_;
};

}  // namespace kemb::persistence
