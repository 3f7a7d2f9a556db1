// Matrix and Vector: the owned float32 arrays every record and kernel works
// on. A Matrix is row-major, rows x cols; 0 x 0 (and a Vector of length 0)
// stands for a value that has not been computed yet. Copying copies the data.
//
// Their storage (and that of Labels) comes from CheckedAllocator, so that a
// size the machine cannot provide fails as a kemb::Error ("memory allocation
// of N bytes failed", "capacity overflow") in every build, instead of ending
// the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

#include "io/error.hpp"

namespace kemb::tensor {

// The most elements of type T whose bytes an array can address.
template <typename T>
inline constexpr std::size_t kMaxElements = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T);

// Array storage from malloc. operator new would serve as well in a plain
// build (std::bad_alloc), but under AddressSanitizer a failing operator new
// aborts the process while malloc returns null (allocator_may_return_null=1),
// so only this way do the impossible-size tests run in the sanitizer build.
template <typename T>
struct CheckedAllocator {
  using value_type = T;

  CheckedAllocator() noexcept = default;
  template <typename U>
  CheckedAllocator(const CheckedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > kMaxElements<T>) io::throw_capacity_overflow();
    void* p = std::malloc(n * sizeof(T));
    if (p == nullptr && n != 0) io::throw_allocation_failed(n * sizeof(T));
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }

  template <typename U>
  friend bool operator==(const CheckedAllocator&, const CheckedAllocator<U>&) noexcept {
    return true;
  }
};

using FloatArray = std::vector<float, CheckedAllocator<float>>;

// Uninitialised bytes from the same allocation, freed with their owner:
// the buffers that text is written into.
struct FreeBytes {
  void operator()(char* p) const noexcept { std::free(p); }
};
using Bytes = std::unique_ptr<char[], FreeBytes>;
inline Bytes checked_bytes(std::size_t n) { return Bytes(CheckedAllocator<char>().allocate(n)); }

// Number of elements of a rows x cols array whose float32 storage is
// addressable; a product that overflows raises "capacity overflow".
std::size_t checked_elements(std::size_t rows, std::size_t cols);

// Resizes `values` to n elements (new ones value-initialised). Exhausted
// memory raises "memory allocation of N bytes failed" (from the allocator)
// instead of aborting.
template <typename T>
void resize_checked(std::vector<T, CheckedAllocator<T>>& values, std::size_t n) {
  if (n > values.max_size()) io::throw_capacity_overflow();
  try {
    values.resize(n);
  } catch (const std::length_error&) {
    io::throw_capacity_overflow();
  }
}

struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  FloatArray data;  // rows * cols values, row after row

  Matrix() = default;
  // rows x cols zeros.
  Matrix(std::size_t rows, std::size_t cols);
  // rows x cols taken from `values` in row-major order; the count must match.
  Matrix(std::size_t rows, std::size_t cols, FloatArray values);

  bool empty() const noexcept { return rows == 0 && cols == 0; }
  std::size_t size() const noexcept { return data.size(); }

  float* row(std::size_t i) noexcept { return data.data() + i * cols; }
  const float* row(std::size_t i) const noexcept { return data.data() + i * cols; }
  float& operator()(std::size_t i, std::size_t j) noexcept { return data[i * cols + j]; }
  float operator()(std::size_t i, std::size_t j) const noexcept { return data[i * cols + j]; }

  // Checked access: "ndarray: index out of bounds" outside the shape.
  float& at(std::size_t i, std::size_t j) {
    if (i >= rows || j >= cols) io::throw_index_out_of_bounds();
    return data[i * cols + j];
  }
  float at(std::size_t i, std::size_t j) const {
    if (i >= rows || j >= cols) io::throw_index_out_of_bounds();
    return data[i * cols + j];
  }

  // Gives the matrix the shape rows x cols, keeping its storage when the
  // element count is unchanged. Contents are unspecified afterwards: callers
  // overwrite every element. Hot buffers use this to avoid a fresh
  // allocation every epoch.
  void reshape_for_overwrite(std::size_t new_rows, std::size_t new_cols);

  friend bool operator==(const Matrix&, const Matrix&) = default;
};

struct Vector {
  FloatArray data;

  Vector() = default;
  // n zeros.
  explicit Vector(std::size_t n);
  explicit Vector(FloatArray values) : data(std::move(values)) {}

  bool empty() const noexcept { return data.empty(); }
  std::size_t size() const noexcept { return data.size(); }
  float& operator[](std::size_t i) noexcept { return data[i]; }
  float operator[](std::size_t i) const noexcept { return data[i]; }

  // Checked access: "ndarray: index out of bounds" outside the length.
  float& at(std::size_t i) {
    if (i >= data.size()) io::throw_index_out_of_bounds();
    return data[i];
  }
  float at(std::size_t i) const {
    if (i >= data.size()) io::throw_index_out_of_bounds();
    return data[i];
  }

  // As Matrix::reshape_for_overwrite.
  void resize_for_overwrite(std::size_t n) { resize_checked(data, n); }

  friend bool operator==(const Vector&, const Vector&) = default;
};

// A rows x cols view of an array's storage, rows `stride` floats apart: a
// Matrix as it is, a Vector as one row. One kernel then serves both where a
// rule reads them alike (element (i, j) of a larger array read at the same
// 2-D position).
template <typename T>
struct Rows {
  T* data;
  std::size_t rows;
  std::size_t cols;
  std::size_t stride;

  T* row(std::size_t i) const noexcept { return data + i * stride; }
  operator Rows<const T>() const noexcept { return {data, rows, cols, stride}; }
};

inline Rows<float> rows_of(Matrix& m) noexcept { return {m.data.data(), m.rows, m.cols, m.cols}; }
inline Rows<const float> rows_of(const Matrix& m) noexcept {
  return {m.data.data(), m.rows, m.cols, m.cols};
}
inline Rows<float> rows_of(Vector& v) noexcept { return {v.data.data(), 1, v.size(), v.size()}; }
inline Rows<const float> rows_of(const Vector& v) noexcept {
  return {v.data.data(), 1, v.size(), v.size()};
}

// Class labels: one class index per sample, counted from 0.
using Labels = std::vector<std::int32_t, CheckedAllocator<std::int32_t>>;

}  // namespace kemb::tensor
