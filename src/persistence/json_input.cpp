// Token level of the model file reader: blocks, positions, strings, numbers,
// literals and the skipping of values the schema does not know.
#include "persistence/json_input.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "io/error.hpp"
#include "io/number_format.hpp"
#include "io/os_error.hpp"
#include "persistence/json_number.hpp"
namespace kemb::persistence {

using io::throw_result_error;
using tensor::FloatArray;

namespace {

// Read size of a file source: large enough that read calls cost nothing
// next to number conversion.
constexpr std::size_t kReadBlock = std::size_t{256} << 10;

// A number split across blocks is collected whole up to this many bytes;
// a longer one goes through LongNumber (json_number.hpp).
constexpr std::size_t kLongNumber = 1024;

// A block no larger than the input needs (one byte more, so that the end is
// seen in the same read): a small file costs no 256 KiB buffer.
std::size_t block_size_for(const ByteSource& source) {
  const std::size_t hint = source.remaining_hint();
  return hint < kReadBlock ? std::max<std::size_t>(hint + 1, 64) : kReadBlock;
}

// A string value as a message shows it: quotes, backslashes and control
// characters escaped so that the message stays on one line.
std::string quoted_for_message(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += io::kHexDigits[byte >> 4];
      out += io::kHexDigits[byte & 0xf];
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

// "Error(\"<message>\", line: L, column: C)" with quotes and backslashes of
// the message escaped.
std::string render_parse_error(std::string_view message, std::uint64_t line,
                               std::uint64_t column) {
  std::string out = "Error(\"";
  for (const char c : message) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += "\", line: " + std::to_string(line) + ", column: " + std::to_string(column) + ")";
  return out;
}

}  // namespace

JsonInput::JsonInput(std::string_view text)
    : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()), at_end_(true) {}

JsonInput::JsonInput(ByteSource& source) : source_(&source), buffer_(block_size_for(source)) {
  begin_ = cur_ = end_ = buffer_.data();
}

bool JsonInput::refill() {
  if (at_end_) return false;
  discarded_ += static_cast<std::uint64_t>(end_ - begin_);
  begin_ = cur_ = end_ = buffer_.data();
  const ByteSource::Chunk chunk = source_->read(buffer_.data(), buffer_.size());
  if (chunk.error != 0) {
    at_end_ = true;
    fail(io::os_error_text(chunk.error));
  }
  if (chunk.size == 0) {
    at_end_ = true;
    return false;
  }
  end_ = begin_ + chunk.size;
  return true;
}

std::size_t JsonInput::remaining_hint() const {
  const auto buffered = static_cast<std::size_t>(end_ - cur_);
  if (source_ == nullptr || at_end_) return buffered;
  const std::size_t more = source_->remaining_hint();
  return more > SIZE_MAX - buffered ? SIZE_MAX : buffered + more;
}

void JsonInput::fail(std::string_view message) const {
  throw_result_error(render_parse_error(message, line_, offset() - line_start_));
}

void JsonInput::fail_at_peek(std::string_view message) {
  if (cur_ != end_ && *cur_ != '\n') ++cur_;
  fail(message);
}

void JsonInput::fail_invalid_type(std::string_view expected) {
  const std::string found = describe_found();
  fail("invalid type: " + found + ", expected " + std::string(expected));
}

std::string JsonInput::describe_found() {
  const int c = peek_token();
  switch (c) {
    case -1: fail("EOF while parsing a value");
    case '"': {
      bump();
      scratch_.clear();
      const std::uint64_t size = read_string_body(&scratch_, io::kQuotedBytes);
      return "string " + quoted_for_message(scratch_) + io::cut_marker(scratch_.size(), size);
    }
    case '{': bump(); return "map";
    case '[': bump(); return "sequence";
    case 't': expect_literal("true"); return "boolean `true`";
    case 'f': expect_literal("false"); return "boolean `false`";
    case 'n': expect_literal("null"); return "null";
    default: break;
  }
  if (c != '-' && !is_digit(c)) fail_at_peek("expected value");
  const NumberToken number = read_number();
  return (number.integer ? "integer " : "floating point ") + quoted_number(number);
}

std::string JsonInput::quoted_number(const NumberToken& number) const {
  std::string_view shown = number_head_;
  std::uint64_t size = number_size_;
  if (!long_number_) {
    const std::string_view text(number.first,
                                static_cast<std::size_t>(number.last - number.first));
    shown = io::quoted_part(text);
    size = text.size();
  }
  std::string out = "`";
  out.append(shown);
  out += '`';
  out += io::cut_marker(shown.size(), size);
  return out;
}

void JsonInput::expect_literal(std::string_view literal) {
  for (const char expected : literal) {
    const int c = next_byte();
    if (c < 0) fail("EOF while parsing a value");
    if (c != expected) {
      if (c == '\n') --cur_;  // the position stays on the line it belongs to
      fail("expected `" + std::string(literal) + "`");
    }
  }
}

bool JsonInput::next_key(bool first, TokenText* key) {
  int c = peek_token();
  if (c == '}') {
    bump();
    return false;
  }
  if (!first) {
    if (c < 0) fail("EOF while parsing an object");
    if (c != ',') fail_at_peek("expected `,` or `}`");
    bump();
    c = peek_token();
    if (c == '}') fail_at_peek("trailing comma");
  }
  if (c < 0) fail("EOF while parsing an object");
  if (c != '"') fail_at_peek("key must be a string");
  bump();
  if (key != nullptr) {
    key->text.clear();
    key->size = read_string_body(&key->text, io::kQuotedBytes);
  } else {
    read_string_body(nullptr);
  }
  c = peek_token();
  if (c < 0) fail("EOF while parsing an object");
  if (c != ':') fail_at_peek("expected `:`");
  bump();
  return true;
}

bool JsonInput::next_element(bool first) {
  int c = peek_token();
  if (c == ']') {
    bump();
    return false;
  }
  if (!first) {
    if (c < 0) fail("EOF while parsing a list");
    if (c != ',') fail_at_peek("expected `,` or `]`");
    bump();
    c = peek_token();
    if (c == ']') fail_at_peek("trailing comma");
  }
  if (c < 0) fail("EOF while parsing a list");
  return true;
}

void JsonInput::end_array(std::size_t counted) {
  if (!next_element(false)) return;
  std::size_t n = counted;
  do {
    skip_value();
    ++n;
  } while (next_element(false));
  fail("invalid length " + std::to_string(n) + ", expected fewer elements in array");
}

NumberToken JsonInput::read_number() {
  long_number_ = false;
  const char* p = cur_;
  while (p != end_ && is_number_char(*p)) ++p;
  if (p == end_ && !at_end_) return read_number_slow();
  const char* first = cur_;
  cur_ = p;
  return whole_number(first, p);
}

// A number that reaches the end of the block: collected in scratch_ across
// refills when it is short, else streamed through LongNumber, so that a
// token of any length costs kLongNumber bytes. Either way the whole token
// is consumed before it is judged, so positions and messages are those of
// the fast path.
NumberToken JsonInput::read_number_slow() {
  LongNumber number;
  std::uint64_t size = 0;
  scratch_.clear();
  while (true) {
    const char* p = cur_;
    while (p != end_ && is_number_char(*p)) ++p;
    const auto piece = static_cast<std::size_t>(p - cur_);
    number.feed(cur_, p);
    if (scratch_.size() <= kLongNumber) {
      scratch_.append(cur_, std::min(piece, kLongNumber + 1 - scratch_.size()));
    }
    size += piece;
    cur_ = p;
    if (p != end_ || !refill()) break;
  }
  if (size <= kLongNumber) {
    return whole_number(scratch_.data(), scratch_.data() + scratch_.size());
  }
  long_number_ = true;
  number_size_ = size;
  number_head_.assign(io::quoted_part(scratch_));
  if (!number.valid()) fail("invalid number");
  scratch_ = number.value_text();
  return NumberToken{scratch_.data(), scratch_.data() + scratch_.size(), number.negative(),
                     number.integer()};
}

// The whole token must be one number.
NumberToken JsonInput::whole_number(const char* first, const char* last) {
  NumberToken token;
  if (match_number(first, last, token) != last) fail("invalid number");
  return token;
}

std::uint64_t JsonInput::read_unsigned() {
  constexpr std::string_view kExpected = "an unsigned integer";
  const int c = peek_token();
  if (c != '-' && !is_digit(c)) fail_invalid_type(kExpected);
  const NumberToken number = read_number();
  if (!number.integer) {
    fail("invalid type: floating point " + quoted_number(number) + ", expected " +
         std::string(kExpected));
  }
  std::uint64_t value = 0;
  if (number.negative) {
    fail("invalid value: integer " + quoted_number(number) + ", expected " +
         std::string(kExpected));
  }
  // A long number (over kLongNumber digits) is far beyond 2^64.
  if (long_number_ || std::from_chars(number.first, number.last, value).ec != std::errc()) {
    fail("invalid value: integer " + quoted_number(number) + ", expected " +
         std::string(kExpected) + " below 2^64");
  }
  return value;
}

float JsonInput::read_float() {
  const int c = peek_token();
  if (c == '-' || is_digit(c)) {
    const NumberToken number = read_number();
    return parse_float(number.first, number.last);
  }
  if (c == 'n') {
    expect_literal("null");
    return std::numeric_limits<float>::quiet_NaN();
  }
  fail_invalid_type("a float");
}

void JsonInput::read_float_array(FloatArray& out) {
  if (peek_token() != '[') fail_invalid_type("a sequence of floats");
  bump();
  enter();
  for (bool first = true;; first = false) {
    // The writer's compact ",<number>" takes one pass over its bytes; any
    // other shape (white space, null, a number at the block end, an error)
    // goes through the general path below.
    if (!first && cur_ != end_ && *cur_ == ',') {
      NumberToken number;
      const char* const number_end = match_number(cur_ + 1, end_, number);
      if (number_end != nullptr && number_end != end_ && !is_number_char(*number_end)) {
        // "0.0", the writer's text of every zero (most pixels, every
        // rectified negative), needs no conversion.
        const bool zero = number_end - cur_ == 4 && std::memcmp(cur_ + 1, "0.0", 3) == 0;
        out.push_back(zero ? 0.0f : to_float(cur_ + 1, number_end));
        cur_ = number_end;
        continue;
      }
    }
    if (!next_element(first)) break;
    out.push_back(read_float());
  }
  leave();
}

void JsonInput::skip_value() {
  const int c = peek_token();
  switch (c) {
    case -1: fail("EOF while parsing a value");
    case '{':
      bump();
      enter();
      for (bool first = true; next_key(first, nullptr); first = false) skip_value();
      leave();
      return;
    case '[':
      bump();
      enter();
      for (bool first = true; next_element(first); first = false) skip_value();
      leave();
      return;
    case '"': bump(); read_string_body(nullptr); return;
    case 't': expect_literal("true"); return;
    case 'f': expect_literal("false"); return;
    case 'n': expect_literal("null"); return;
    default: break;
  }
  if (c != '-' && !is_digit(c)) fail_at_peek("expected value");
  read_number();
}

void JsonInput::finish() {
  if (peek_token() >= 0) fail_at_peek("trailing characters");
}

}  // namespace kemb::persistence
