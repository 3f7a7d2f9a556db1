// Internals of tensor/ that its tests and benchmarks reach: how a product is
// cut for kemb's threads, and the pool's size. Nothing else includes this.
#pragma once

#include <cstddef>

#include "tensor/gemm.hpp"

namespace kemb::tensor::detail {

// How a product is cut into parts: along the rows of c, along its columns,
// or along the inner dimension (each thread sums the partial products of its
// parts, and the threads' sums are added at the end).
enum class Split { rows, cols, inner };
struct ProductPlan {
  Split split = Split::rows;
  std::size_t parts = 1;
  int threads = 1;
};

// The plan gemm follows for an (m x k) . (k x n) product on up to `threads`
// threads.
ProductPlan plan_product(std::size_t m, std::size_t n, std::size_t k, int threads) noexcept;

// gemm with a given plan; returns the number of threads that ran a part.
int gemm_planned(Matrix& c, const Matrix& a, Transpose ta, const Matrix& b, Transpose tb,
                 const ProductPlan& plan);

// The pool's workers, as started in this process (0 before the first large
// product, and again in a child until it needs them).
int pool_workers() noexcept;

}  // namespace kemb::tensor::detail
