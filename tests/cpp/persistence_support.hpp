// Shared by the persistence tests: random models that use every corner of
// the format, and a record comparison that is bit for bit on floats.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "persistence/json_input.hpp"

namespace kemb::persistence::testing {

// Hands the text out in pieces of 1 to 7 bytes, so that every token kind
// meets a block boundary somewhere.
class TrickleSource final : public ByteSource {
 public:
  TrickleSource(std::string_view text, unsigned seed) : text_(text), rng_(seed) {}
  Chunk read(char* buffer, std::size_t capacity) override {
    const std::size_t n = std::min({text_.size(), capacity, std::size_t{1} + rng_() % 7});
    std::memcpy(buffer, text_.data(), n);
    text_.remove_prefix(n);
    return {n, 0};
  }

 private:
  std::string_view text_;
  std::mt19937 rng_;
};

inline float random_float(std::mt19937_64& rng) {
  constexpr float kSpecial[] = {0.0f,
                                -0.0f,
                                1.0f,
                                -1.5f,
                                1e-7f,
                                1e13f,
                                std::numeric_limits<float>::denorm_min(),
                                std::numeric_limits<float>::min(),
                                std::numeric_limits<float>::max(),
                                -std::numeric_limits<float>::max(),
                                std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity(),
                                -std::numeric_limits<float>::infinity()};
  switch (rng() % 4) {
    case 0: return kSpecial[rng() % std::size(kSpecial)];
    case 1: return std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    default: return std::normal_distribution<float>(0.0f, 0.01f)(rng);
  }
}

inline std::string random_text(std::mt19937_64& rng) {
  static const std::string kPieces[] = {"dense", "relu",   "\"",        "\\",   "\t",
                                        "\n",    "\x01",   "\x1f",      "\x7f", "/",
                                        "\xc3\xa9", "\xe2\x9c\x93", "\xf0\x9f\x98\x80", " ", "m.json"};
  std::string out;
  const std::size_t n = rng() % 5;
  for (std::size_t i = 0; i < n; ++i) out += kPieces[rng() % std::size(kPieces)];
  return out;
}

inline tensor::Matrix random_matrix(std::mt19937_64& rng) {
  static constexpr std::size_t kShapes[][2] = {{0, 0}, {0, 3}, {2, 0}, {1, 1}, {3, 4}, {5, 2}};
  const auto& shape = kShapes[rng() % std::size(kShapes)];
  tensor::Matrix m(shape[0], shape[1]);
  for (float& v : m.data) v = random_float(rng);
  return m;
}

inline tensor::Vector random_vector(std::mt19937_64& rng) {
  tensor::Vector v(rng() % 4 == 0 ? 0 : rng() % 6);
  for (float& x : v.data) x = random_float(rng);
  return v;
}

// Random values of each field kind: short texts (escapes included), small or
// huge counts, floats of every class, arrays of random shapes.
inline void randomize(std::mt19937_64& rng, std::string& value) { value = random_text(rng); }
inline void randomize(std::mt19937_64& rng, std::uint64_t& value) {
  value = rng() % 2 ? rng() % 10 : rng();
}
inline void randomize(std::mt19937_64& rng, float& value) { value = random_float(rng); }
inline void randomize(std::mt19937_64& rng, tensor::Matrix& value) { value = random_matrix(rng); }
inline void randomize(std::mt19937_64& rng, tensor::Vector& value) { value = random_vector(rng); }
inline void randomize(std::mt19937_64& rng, std::vector<Layer>& layers);

// Every field of the record, by its field table.
template <typename Record>
Record random_record(std::mt19937_64& rng) {
  Record record;
  for_each_field(Record::fields(), [&](const auto& field, std::size_t) {
    randomize(rng, record.*(field.member));
  });
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

template <typename Model>
Model random_model(std::mt19937_64& rng) {
  return random_record<Model>(rng);
}

// Bit for bit, except that NaN and the infinities (stored as null) read back
// as NaN.
inline bool same_float(float written, float read) {
  if (!std::isfinite(written)) return std::isnan(read);
  return std::bit_cast<std::uint32_t>(written) == std::bit_cast<std::uint32_t>(read);
}

inline bool same_floats(const tensor::FloatArray& a, const tensor::FloatArray& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_float(a[i], b[i])) return false;
  }
  return true;
}

inline bool same(const tensor::Matrix& a, const tensor::Matrix& b) {
  return a.rows == b.rows && a.cols == b.cols && same_floats(a.data, b.data);
}
inline bool same(const tensor::Vector& a, const tensor::Vector& b) { return same_floats(a.data, b.data); }

inline bool same(const std::string& a, const std::string& b) { return a == b; }
inline bool same(std::uint64_t a, std::uint64_t b) { return a == b; }
inline bool same(float a, float b) { return same_float(a, b); }
inline bool same(const std::vector<Layer>& a, const std::vector<Layer>& b);

// Every field equal, by the record's field table (floats as same_float).
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

template <typename Model>
bool same_model(const Model& a, const Model& b) {
  return same_record(a, b);
}

}  // namespace kemb::persistence::testing
