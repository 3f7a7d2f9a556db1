// References shared with the tools, so free of GoogleTest: float32 texts from
// the layout rules on std::to_chars digits (into caller buffers: the checker
// runs all 2^32 patterns), and random records using every corner of the
// model file, compared bit for bit.
#pragma once

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "model/categorical.hpp"
#include "model/linear.hpp"

namespace kemb::ref {

// Room for either float text.
inline constexpr int kFloatTextRoom = 64;

// The shortest digits of a finite, non-zero `magnitude`: d at digits[0, n)
// without trailing zeros, and e with magnitude = 0.d x 10^e. Returns n.
inline int to_chars_digits(float magnitude, char* digits, int& e) {
  char sci[32];
  const char* const end =
      std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific).ptr;
  int n = 0;
  const char* p = sci;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  p += p[1] == '+' ? 2 : 1;
  int exponent = 0;  // magnitude = d.ddd x 10^exponent
  std::from_chars(p, end, exponent);
  while (n > 1 && digits[n - 1] == '0') --n;
  e = exponent + 1;
  return n;
}

inline char* put(char* out, const char* text, int count) {
  std::memcpy(out, text, static_cast<std::size_t>(count));
  return out + count;
}

inline char* put_zeros(char* out, int count) { return std::fill_n(out, std::max(count, 0), '0'); }

// The model file text: 0.0 / -0.0, null for NaN and the infinities, and
// otherwise the first of the rules below that applies (k = e - n).
inline char* file_text(float value, char* out) {
  if (!std::isfinite(value)) return put(out, "null", 4);
  if (std::signbit(value)) *out++ = '-';
  if (value == 0.0f) return put(out, "0.0", 3);
  char d[16];
  int e = 0;
  const int n = to_chars_digits(std::fabs(value), d, e);
  if (e - n >= 0 && e <= 13) return put(put_zeros(put(out, d, n), e - n), ".0", 2);
  if (e > 0 && e <= 13) return put(put(put(out, d, e), ".", 1), d + e, n - e);
  if (e > -6 && e <= 0) return put(put_zeros(put(out, "0.", 2), -e), d, n);
  out = put(out, d, 1);
  if (n > 1) out = put(put(out, ".", 1), d + 1, n - 1);
  *out++ = 'e';
  return std::to_chars(out, out + 8, e - 1).ptr;
}

// The report text: positional, no exponent, no point for whole numbers.
inline char* report_text(float value, char* out) {
  if (std::isnan(value)) return put(out, "NaN", 3);
  if (std::signbit(value)) *out++ = '-';
  if (std::isinf(value)) return put(out, "inf", 3);
  if (value == 0.0f) return put(out, "0", 1);
  char d[16];
  int e = 0;
  const int n = to_chars_digits(std::fabs(value), d, e);
  if (e <= 0) return put(put_zeros(put(out, "0.", 2), -e), d, n);
  if (e >= n) return put_zeros(put(out, d, n), e - n);
  return put(put(put(out, d, e), ".", 1), d + e, n - e);
}

// Floats of every class: special values, any bit pattern, small normals.
inline float random_float(std::mt19937_64& rng) {
  using limits = std::numeric_limits<float>;
  // clang-format off
  constexpr float kSpecial[] = {0.0f,          -0.0f,         1.0f,         -1.5f,
                                1e-7f,         1e13f,         limits::denorm_min(),
                                limits::min(), limits::max(), -limits::max(),
                                limits::quiet_NaN(), limits::infinity(), -limits::infinity()};
  // clang-format on
  switch (rng() % 4) {
    case 0:
      return kSpecial[rng() % std::size(kSpecial)];
    case 1:
      return std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    default:
      return std::normal_distribution<float>(0.0f, 0.01f)(rng);
  }
}

// Short texts with escapes, control characters and multi-byte characters.
inline std::string random_text(std::mt19937_64& rng) {
  // clang-format off
  static const std::string kPieces[] = {"dense", "relu", "\"", "\\", "\t", "\n", "\x01", "\x1f",
                                        "\x7f", "/", "\xc3\xa9", "\xe2\x9c\x93",
                                        "\xf0\x9f\x98\x80", " ", "m.json"};
  // clang-format on
  std::string out;
  for (std::size_t n = rng() % 5; n > 0; --n) out += kPieces[rng() % std::size(kPieces)];
  return out;
}

// Random values of each field kind: small or huge counts, arrays of random
// shapes (empty ones included).
inline void randomize(std::mt19937_64& rng, std::string& value) { value = random_text(rng); }
inline void randomize(std::mt19937_64& rng, std::uint64_t& value) {
  value = rng() % 2 ? rng() % 10 : rng();
}
inline void randomize(std::mt19937_64& rng, float& value) { value = random_float(rng); }
inline void randomize(std::mt19937_64& rng, tensor::Matrix& value) {
  static constexpr std::size_t kShapes[][2] = {{0, 0}, {0, 3}, {2, 0}, {1, 1}, {3, 4}, {5, 2}};
  const auto& shape = kShapes[rng() % std::size(kShapes)];
  value = tensor::Matrix(shape[0], shape[1]);
  for (float& v : value.data) v = random_float(rng);
}
inline void randomize(std::mt19937_64& rng, tensor::Vector& value) {
  value = tensor::Vector(rng() % 4 == 0 ? 0 : rng() % 6);
  for (float& x : value.data) x = random_float(rng);
}
inline void randomize(std::mt19937_64& rng, std::vector<Layer>& layers);

// Every field of the record, by its field table.
template <typename Record>
Record random_record(std::mt19937_64& rng) {
  Record record;
  for_each_field(Record::fields(),
                 [&](const auto& field, std::size_t) { randomize(rng, record.*(field.member)); });
  return record;
}

inline void randomize(std::mt19937_64& rng, std::vector<Layer>& layers) {
  layers.resize(rng() % 4);
  for (Layer& layer : layers) {
    layer = random_record<Layer>(rng);
    // Mostly the known kinds, so that passes over these layers do work.
    if (rng() % 3 != 0) layer.layer_type = rng() % 2 ? "dense" : "dropout";
  }
}

// Bit for bit, except that NaN and the infinities (written as null) read back as NaN.
inline bool same(float written, float read) {
  if (!std::isfinite(written)) return std::isnan(read);
  return std::bit_cast<std::uint32_t>(written) == std::bit_cast<std::uint32_t>(read);
}
inline bool same(const tensor::FloatArray& a, const tensor::FloatArray& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](float x, float y) { return same(x, y); });
}
inline bool same(const tensor::Matrix& a, const tensor::Matrix& b) {
  return a.rows == b.rows && a.cols == b.cols && same(a.data, b.data);
}
inline bool same(const tensor::Vector& a, const tensor::Vector& b) { return same(a.data, b.data); }
inline bool same(const std::string& a, const std::string& b) { return a == b; }
inline bool same(std::uint64_t a, std::uint64_t b) { return a == b; }
inline bool same(const std::vector<Layer>& a, const std::vector<Layer>& b);

// Every field equal by the record's field table, floats as same(float, float).
template <typename Record>
bool same_record(const Record& a, const Record& b) {
  bool equal = true;
  for_each_field(Record::fields(), [&](const auto& field, std::size_t) {
    equal = equal && same(a.*(field.member), b.*(field.member));
  });
  return equal;
}

inline bool same(const std::vector<Layer>& a, const std::vector<Layer>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), same_record<Layer>);
}

}  // namespace kemb::ref
