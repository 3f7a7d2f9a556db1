// Element-wise kernels shared by the layers, activations and losses. Each is
// a plain loop over contiguous storage with one float32 operation per step,
// which the compiler vectorises without changing any result (the build
// forbids contraction and fast-math).
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::tensor {

// Raises "ndarray: index out of bounds" unless every position (i, j) of a
// rows x cols array is a position of `m`.
void check_covers(const Matrix& m, std::size_t rows, std::size_t cols);
// The same for a vector read at positions 0 .. n-1.
void check_covers(const Vector& v, std::size_t n);
// The same for a view (a vector is one row).
void check_covers(Rows<const float> m, std::size_t rows, std::size_t cols);

// src: (rows, cols) -> dst: (rows, cols), dst := src. A no-op when both are
// the same object.
void copy_into(Matrix& dst, const Matrix& src);

// a: (rows, cols), b: at least (rows, cols) -> out: (rows, cols)
// out[i][j] := a[i][j] x b[i][j], with `b` read at a's positions (so a larger
// `b` is read by 2-D index, not by flat position). `out` may alias `a`.
void multiply(Matrix& out, const Matrix& a, const Matrix& b);

// values: (n) -> sum of |x|, left to right in float32.
float sum_abs(const float* values, std::size_t n);
// values: (n) -> sum of x x x, left to right in float32.
float sum_squares(const float* values, std::size_t n);

}  // namespace kemb::tensor
