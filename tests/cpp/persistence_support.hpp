// Shared by the persistence tests: random models that use every corner of
// the format, and a record comparison that is bit for bit on floats.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "model/categorical.hpp"
#include "model/linear.hpp"

namespace kemb::persistence::testing {

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

inline Layer random_layer(std::mt19937_64& rng) {
  Layer l;
  l.layer_type = rng() % 3 == 0 ? random_text(rng) : (rng() % 2 ? "dense" : "dropout");
  l.activation_type = random_text(rng);
  l.n_inputs = rng() % 2 ? rng() % 10 : rng();
  l.n_neurons = rng() % 2 ? rng() % 10 : UINT64_MAX;
  l.weights = random_matrix(rng);
  l.biases = random_vector(rng);
  l.weight_regularizer_l1 = random_float(rng);
  l.weight_regularizer_l2 = random_float(rng);
  l.bias_regularizer_l1 = random_float(rng);
  l.bias_regularizer_l2 = random_float(rng);
  l.inputs = random_matrix(rng);
  l.activation_inputs = random_matrix(rng);
  l.dweights = random_matrix(rng);
  l.dbiases = random_vector(rng);
  l.weight_momentums = random_matrix(rng);
  l.weight_cache = random_matrix(rng);
  l.bias_momentums = random_vector(rng);
  l.bias_cache = random_vector(rng);
  l.dropout_rate = random_float(rng);
  l.binary_mask = random_matrix(rng);
  return l;
}

template <typename Model>
Model random_model(std::mt19937_64& rng) {
  Model m;
  const std::size_t n = rng() % 4;
  for (std::size_t i = 0; i < n; ++i) m.layers.push_back(random_layer(rng));
  m.output_type = random_text(rng);
  m.loss_type = random_text(rng);
  m.acc_type = random_text(rng);
  if constexpr (requires { m.acc_precision; }) m.acc_precision = random_float(rng);
  m.save_best_params = random_text(rng);
  return m;
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

inline bool same(const Layer& a, const Layer& b) {
  return a.layer_type == b.layer_type && a.activation_type == b.activation_type &&
         a.n_inputs == b.n_inputs && a.n_neurons == b.n_neurons && same(a.weights, b.weights) &&
         same(a.biases, b.biases) && same_float(a.weight_regularizer_l1, b.weight_regularizer_l1) &&
         same_float(a.weight_regularizer_l2, b.weight_regularizer_l2) &&
         same_float(a.bias_regularizer_l1, b.bias_regularizer_l1) &&
         same_float(a.bias_regularizer_l2, b.bias_regularizer_l2) && same(a.inputs, b.inputs) &&
         same(a.activation_inputs, b.activation_inputs) && same(a.dweights, b.dweights) &&
         same(a.dbiases, b.dbiases) && same(a.weight_momentums, b.weight_momentums) &&
         same(a.weight_cache, b.weight_cache) && same(a.bias_momentums, b.bias_momentums) &&
         same(a.bias_cache, b.bias_cache) && same_float(a.dropout_rate, b.dropout_rate) &&
         same(a.binary_mask, b.binary_mask);
}

template <typename Model>
bool same_model(const Model& a, const Model& b) {
  if (a.layers.size() != b.layers.size()) return false;
  for (std::size_t i = 0; i < a.layers.size(); ++i) {
    if (!same(a.layers[i], b.layers[i])) return false;
  }
  if constexpr (requires { a.acc_precision; }) {
    if (!same_float(a.acc_precision, b.acc_precision)) return false;
  }
  return a.output_type == b.output_type && a.loss_type == b.loss_type &&
         a.acc_type == b.acc_type && a.save_best_params == b.save_best_params;
}

}  // namespace kemb::persistence::testing
