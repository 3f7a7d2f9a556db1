// JsonInput's strings: the run of plain bytes, escapes with their surrogate
// pairs, and the checks of UTF-8 sequences. Kept apart from the structure
// and number code of json_input.cpp.
#include <cstdint>
#include <string>

#include "persistence/json_input.hpp"

namespace kemb::persistence {
namespace {

int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The UTF-8 bytes of `code` into `out`; returns their count.
std::size_t encode_utf8(char* out, std::uint32_t code) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code >> 6));
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (code >> 18));
  out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

}  // namespace

void JsonInput::read_string(std::string& out) {
  if (peek_token() != '"') fail_invalid_type("a string");
  bump();
  out.clear();
  read_string_body(&out);
}

// After the opening quote: the characters up to and including the closing
// quote. Once a character does not fit within `keep`, nothing more is kept,
// so `out` holds a prefix of the string made of whole characters.
std::uint64_t JsonInput::read_string_body(std::string* out, std::size_t keep) {
  std::uint64_t size = 0;
  bool full = out == nullptr;
  const auto append = [&](const char* bytes, std::size_t n) {
    size += n;
    if (full) return;
    if (n <= keep - out->size()) {
      out->append(bytes, n);
    } else {
      full = true;
    }
  };
  while (true) {
    const char* run = cur_;
    while (cur_ != end_) {
      const auto byte = static_cast<unsigned char>(*cur_);
      if (byte < 0x20 || byte >= 0x80 || byte == '"' || byte == '\\') break;
      ++cur_;
    }
    // Plain bytes are whole characters: as many as fit.
    const auto plain = static_cast<std::size_t>(cur_ - run);
    if (!full && plain > keep - out->size()) {
      out->append(run, keep - out->size());
      full = true;
    }
    append(run, plain);
    if (cur_ == end_) {
      if (!refill()) fail("EOF while parsing a string");
      continue;
    }
    const auto byte = static_cast<unsigned char>(*cur_);
    if (byte < 0x20) fail_at_peek("control character (\\u0000-\\u001F) found while parsing a string");
    ++cur_;
    if (byte == '"') return size;
    char bytes[4];
    append(bytes, byte == '\\' ? read_escape(bytes) : read_utf8_tail(byte, bytes));
  }
}

// One escape after its backslash, decoded into `bytes`; returns their count.
std::size_t JsonInput::read_escape(char* bytes) {
  const int c = next_byte();
  char plain = 0;
  switch (c) {
    case -1: fail("EOF while parsing a string");
    case '"': plain = '"'; break;
    case '\\': plain = '\\'; break;
    case '/': plain = '/'; break;
    case 'b': plain = '\b'; break;
    case 'f': plain = '\f'; break;
    case 'n': plain = '\n'; break;
    case 'r': plain = '\r'; break;
    case 't': plain = '\t'; break;
    case 'u': break;
    default: fail("invalid escape");
  }
  if (c != 'u') {
    bytes[0] = plain;
    return 1;
  }
  std::uint32_t code = read_hex4();
  if (code >= 0xDC00 && code <= 0xDFFF) fail("lone trailing surrogate in hex escape");
  if (code >= 0xD800 && code <= 0xDBFF) {
    const int backslash = next_byte();
    const int u = backslash == '\\' ? next_byte() : backslash;
    if (backslash < 0 || u < 0) fail("EOF while parsing a string");
    if (backslash != '\\' || u != 'u') fail("lone leading surrogate in hex escape");
    const std::uint32_t low = read_hex4();
    if (low < 0xDC00 || low > 0xDFFF) fail("lone leading surrogate in hex escape");
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  return encode_utf8(bytes, code);
}

std::uint32_t JsonInput::read_hex4() {
  std::uint32_t code = 0;
  for (int i = 0; i < 4; ++i) {
    const int c = next_byte();
    if (c < 0) fail("EOF while parsing a string");
    const int digit = hex_value(c);
    if (digit < 0) fail("invalid escape");
    code = code * 16 + static_cast<std::uint32_t>(digit);
  }
  return code;
}

// The continuation bytes of a UTF-8 sequence whose lead byte is consumed;
// overlong forms, surrogates and code points above U+10FFFF are refused.
// The whole sequence goes to `bytes`; returns its length.
std::size_t JsonInput::read_utf8_tail(unsigned char lead, char* bytes) {
  int count = 0;
  unsigned lo = 0x80, hi = 0xBF;  // range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    count = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    count = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    count = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    fail("invalid unicode code point");
  }
  bytes[0] = static_cast<char>(lead);
  for (int i = 1; i <= count; ++i) {
    if (cur_ == end_ && !refill()) fail("EOF while parsing a string");
    const auto byte = static_cast<unsigned char>(*cur_);
    if (byte < lo || byte > hi) fail("invalid unicode code point");
    ++cur_;
    bytes[i] = static_cast<char>(byte);
    lo = 0x80, hi = 0xBF;
  }
  return static_cast<std::size_t>(count + 1);
}

}  // namespace kemb::persistence
