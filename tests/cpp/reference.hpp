// Test support: bit-level comparisons, seeded random arrays and naive
// reference implementations. The references are plain loops written from
// the rules (full working copies, one operation per statement, the stated
// order), independent of the optimised kernels they check.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>

#include "io/error.hpp"
#include "tensor/matrix.hpp"

namespace kemb::ref {

// A vector of the given values (Vector({2}) would be two zeros).
inline tensor::Vector vec(std::initializer_list<float> values) {
  return tensor::Vector(tensor::FloatArray(values));
}

inline std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

template <typename A, typename B>
::testing::AssertionResult same_bits(const A& a, const B& b) {
  if (a.size() != b.size()) {
    return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
  }
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (bits(a[k]) != bits(b[k])) {
      return ::testing::AssertionFailure() << "element " << k << ": " << a[k] << " (0x" << std::hex
                                           << bits(a[k]) << ") vs " << b[k] << " (0x" << bits(b[k])
                                           << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult same_bits(const tensor::Matrix& a, const tensor::Matrix& b) {
  if (a.rows != b.rows || a.cols != b.cols) {
    return ::testing::AssertionFailure()
           << "shapes " << a.rows << "x" << a.cols << " and " << b.rows << "x" << b.cols;
  }
  return same_bits(a.data, b.data);
}

inline ::testing::AssertionResult same_bits(const tensor::Vector& a, const tensor::Vector& b) {
  return same_bits(a.data, b.data);
}

// Relative closeness for results whose summation order is free.
inline ::testing::AssertionResult close(const tensor::Matrix& a, const tensor::Matrix& b, double rel = 1e-5) {
  if (a.rows != b.rows || a.cols != b.cols) {
    return ::testing::AssertionFailure()
           << "shapes " << a.rows << "x" << a.cols << " and " << b.rows << "x" << b.cols;
  }
  for (std::size_t k = 0; k < a.size(); ++k) {
    const double x = a.data[k];
    const double y = b.data[k];
    if (std::fabs(x - y) > rel * (1.0 + std::fabs(y))) {
      return ::testing::AssertionFailure() << "element " << k << ": " << x << " vs " << y;
    }
  }
  return ::testing::AssertionSuccess();
}

// Uniform values in [-scale, scale), reproducible from `seed`.
inline tensor::Matrix random_matrix(std::size_t rows, std::size_t cols, unsigned seed,
                            float scale = 1.0f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-scale, scale);
  tensor::Matrix m(rows, cols);
  for (float& x : m.data) x = dist(gen);
  return m;
}

inline tensor::Vector random_vector(std::size_t n, unsigned seed, float scale = 1.0f) {
  return tensor::Vector(random_matrix(1, n, seed, scale).data);
}

// Runs `work` and returns the message of the kemb::Error it throws ("" when
// it throws nothing).
inline std::string error_of(const std::function<void()>& work) {
  try {
    work();
  } catch (const io::Error& e) {
    return e.what();
  }
  return "";
}

inline const std::string kIndexError = "ndarray: index out of bounds";
inline const std::string kMissingValue = "called `Option::unwrap()` on a `None` value";

// op(a) . op(b) in double precision, rounded once.
inline tensor::Matrix product(const tensor::Matrix& a, bool ta, const tensor::Matrix& b, bool tb) {
  const std::size_t m = ta ? a.cols : a.rows;
  const std::size_t k = ta ? a.rows : a.cols;
  const std::size_t n = tb ? b.rows : b.cols;
  tensor::Matrix c(m, n);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double s = 0.0;
      for (std::size_t p = 0; p < k; ++p) {
        const double x = ta ? a(p, i) : a(i, p);
        const double y = tb ? b(j, p) : b(p, j);
        s += x * y;
      }
      c(i, j) = static_cast<float>(s);
    }
  }
  return c;
}

inline float nan() { return std::numeric_limits<float>::quiet_NaN(); }
inline float inf() { return std::numeric_limits<float>::infinity(); }

}  // namespace kemb::ref
