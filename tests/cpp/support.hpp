// Helpers of the GoogleTest files (reference.hpp, free of GoogleTest, is shared with the tools).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <initializer_list>
#include <type_traits>
#include <vector>

#include "dyn_layer.hpp"
#include "io/error.hpp"
#include "persistence/json_input.hpp"
#include "persistence/reader.hpp"
#include "persistence/writer.hpp"
#include "random/detail.hpp"
#include "random/thread_rng.hpp"
#include "reference.hpp"

namespace kemb::test {

using tensor::Labels;
using tensor::Matrix;
using tensor::Vector;

inline const std::string kIndexError = "ndarray: index out of bounds";
inline const std::string kMissingValue = "called `Option::unwrap()` on a `None` value";
inline const std::string kResultPrefix = "called `Result::unwrap()` on an `Err` value: ";

inline float nan() { return std::numeric_limits<float>::quiet_NaN(); }
inline float inf() { return std::numeric_limits<float>::infinity(); }
inline std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
// The same bits, or both NaN (whatever their sign and payload).
inline bool same_value(float a, float b) {
  return std::isnan(a) ? std::isnan(b) : bits(a) == bits(b);
}
// A vector of the given values (Vector({2}) would be two zeros).
inline Vector vec(std::initializer_list<float> values) {
  return Vector(tensor::FloatArray(values));
}

// What `call` fails with (a kemb::Error's message), or "<no error>".
template <typename Call>
std::string message_of(Call&& call) {
  try {
    call();
  } catch (const io::Error& e) {
    return e.what();
  }
  return "<no error>";
}

// Equal shapes and every element within `rel` (relative; summation order
// is free), or bit for bit when `rel` < 0.
inline ::testing::AssertionResult close(const Matrix& a, const Matrix& b, double rel = 1e-5) {
  if (a.rows != b.rows || a.cols != b.cols) {
    return ::testing::AssertionFailure()
           << "shapes " << a.rows << "x" << a.cols << " and " << b.rows << "x" << b.cols;
  }
  for (std::size_t k = 0; k < a.size(); ++k) {
    const double x = a.data[k], y = b.data[k];
    if (rel < 0 ? bits(a.data[k]) != bits(b.data[k])
                : std::fabs(x - y) > rel * (1.0 + std::fabs(y))) {
      return ::testing::AssertionFailure()
             << "element " << k << ": " << x << " vs " << y << std::hex << " (0x" << bits(a.data[k])
             << ", 0x" << bits(b.data[k]) << ")";
    }
  }
  return ::testing::AssertionSuccess();
}
inline ::testing::AssertionResult same_bits(const Matrix& a, const Matrix& b) {
  return close(a, b, -1);
}
inline ::testing::AssertionResult same_bits(const Vector& a, const Vector& b) {
  return close(Matrix(1, a.size(), a.data), Matrix(1, b.size(), b.data), -1);
}

// Uniform values in [-scale, scale), reproducible from `seed`.
inline Matrix random_matrix(std::size_t rows, std::size_t cols, unsigned seed, float scale = 1.0f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-scale, scale);
  Matrix m(rows, cols);
  for (float& x : m.data) x = dist(gen);
  return m;
}
inline Vector random_vector(std::size_t n, unsigned seed, float scale = 1.0f) {
  return Vector(random_matrix(1, n, seed, scale).data);
}

// op(a) . op(b) in double precision, rounded once.
inline Matrix product(const Matrix& a, bool ta, const Matrix& b, bool tb) {
  Matrix c(ta ? a.cols : a.rows, tb ? b.rows : b.cols);
  for (std::size_t i = 0; i < c.rows; ++i) {
    for (std::size_t j = 0; j < c.cols; ++j) {
      double s = 0.0;
      for (std::size_t p = 0; p < (ta ? a.rows : a.cols); ++p) {
        s += static_cast<double>(ta ? a(p, i) : a(i, p)) * (tb ? b(j, p) : b(p, j));
      }
      c(i, j) = static_cast<float>(s);
    }
  }
  return c;
}

// The output a buffer kernel fills: out_of(relu::forward, z).
template <typename Out, typename... In>
Out out_of(void (*kernel)(Out&, const In&...), const std::type_identity_t<In>&... in) {
  Out out;
  kernel(out, in...);
  return out;
}

// input: (n_samples, n_features) -> (n_samples, n_outputs)
inline Matrix forward(Layer& layer, const Matrix& input, bool training) {
  Matrix out;
  layer.forward(out, input, training);
  return out;
}
// dvalues: (n_samples, n_outputs) -> dinputs: (n_samples, n_features)
inline Matrix backward(Layer& layer, Matrix dvalues) {
  Matrix dinputs;
  layer.backward(dinputs, dvalues);
  return dinputs;
}

// A dense layer of the given sizes, before Layer::init.
inline Layer dense(std::size_t n_inputs, std::size_t n_neurons, const char* activation = "") {
  Layer layer;
  layer.layer_type = "dense";
  layer.activation_type = activation;
  layer.n_inputs = n_inputs;
  layer.n_neurons = n_neurons;
  return layer;
}
inline Layer dense(Matrix weights, Vector biases, const char* activation = "") {
  Layer layer = dense(weights.rows, weights.cols, activation);
  layer.weights = std::move(weights);
  layer.biases = std::move(biases);
  return layer;
}
inline Layer dropout(float keep_probability) {
  Layer layer;
  layer.layer_type = "dropout";
  layer.dropout_rate = keep_probability;
  return layer;
}

// KEMB_SEED set for the scope: the thread's generator repeats its draws.
class SeededRng {
 public:
  explicit SeededRng(const char* seed = "777") {
    ::setenv("KEMB_SEED", seed, 1);
    random::detail::reset_thread_rng();
  }
  ~SeededRng() {
    ::unsetenv("KEMB_SEED");
    random::detail::reset_thread_rng();
  }
};

// Hands the text out in pieces of 1 to 7 bytes: every token kind meets a block boundary.
class TrickleSource final : public persistence::ByteSource {
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

// A model of the given kind read from memory, or from a TrickleSource
// seeded with `pieces_seed`.
template <typename Model>
Model read(std::string_view text, int pieces_seed = -1) {
  TrickleSource source(text, static_cast<unsigned>(pieces_seed));
  if constexpr (std::is_same_v<Model, LinearModel>) {
    return pieces_seed < 0 ? persistence::read_linear_model(text)
                           : persistence::read_linear_model(source);
  } else {
    return pieces_seed < 0 ? persistence::read_categorical_model(text)
                           : persistence::read_categorical_model(source);
  }
}

template <typename Model>
std::string text_of(const Model& model) {
  std::string text;
  persistence::write_model(model, text);
  return text;
}

}  // namespace kemb::test
