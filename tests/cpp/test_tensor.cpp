// Matrix access, products against a double-precision reference split every
// way over threads, the pool after a fork, element-wise sums, impossible sizes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support.hpp"
#include "tensor/elementwise.hpp"
#include "tensor/gemm.hpp"
#include "tensor/detail.hpp"
#include "tensor/pool.hpp"

namespace kemb::test {
namespace {

using tensor::Transpose;

TEST(matrix, checked_access_and_the_empty_shape) {
  Matrix m(2, 3);
  EXPECT_EQ(message_of([&] { m.at(2, 0); }), kIndexError);
  EXPECT_EQ(message_of([&] { m.at(0, 3); }), kIndexError);
  // 0 x 3 and 3 x 0 are not the empty (not yet computed) matrix.
  EXPECT_FALSE(Matrix(0, 3).empty());
  EXPECT_FALSE(Matrix(3, 0).empty());
  EXPECT_TRUE(Matrix(0, 0).empty());
}

// Every transpose of an m x k by k x n product against the reference. `c` starts with a wrong
// shape and stale values: the call replaces both, and an inner split must not add to them.
template <typename Product>
void check_transposes(std::size_t m, std::size_t k, std::size_t n, Product product_into) {
  for (bool ta : {false, true}) {
    for (bool tb : {false, true}) {
      const Matrix a = ta ? random_matrix(k, m, 1) : random_matrix(m, k, 1);
      const Matrix b = tb ? random_matrix(n, k, 2) : random_matrix(k, n, 2);
      Matrix c(3, 3, tensor::FloatArray(9, 9.0f));
      product_into(c, a, Transpose(ta), b, Transpose(tb));
      EXPECT_TRUE(close(c, product(a, ta, b, tb)))
          << m << "x" << k << "x" << n << " ta=" << ta << " tb=" << tb;
    }
  }
}

TEST(gemm, all_shapes_and_transposes_match_reference) {
  // A 0 anywhere is the degenerate case BLAS itself refuses.
  // clang-format off
  for (auto [m, k, n] : {std::tuple{1, 1, 1}, {7, 5, 3}, {64, 33, 17}, {300, 200, 40}, {0, 4, 3},
                         {4, 0, 3}, {4, 3, 0}, {0, 0, 0}}) {
    // clang-format on
    check_transposes(m, k, n, tensor::gemm);
  }
}

// Every way gemm cuts a product, on the pool: more parts than indices, parts off the tile grain.
TEST(gemm, every_part_layout_matches_reference) {
  for (auto split : {tensor::detail::Split::rows, tensor::detail::Split::cols, tensor::detail::Split::inner}) {
    for (int threads : {1, 3}) {
      for (std::size_t parts : {2, 5, 400}) {
        const tensor::detail::ProductPlan plan{.split = split, .parts = parts, .threads = threads};
        for (auto [m, k, n] : {std::tuple{1, 1, 1}, {70, 37, 5}, {5, 300, 3}, {33, 9, 130}}) {
          check_transposes(
              m, k, n,
              [&](Matrix& c, const Matrix& a, Transpose ta, const Matrix& b, Transpose tb) {
                const int ran = tensor::detail::gemm_planned(c, a, ta, b, tb, plan);
                EXPECT_TRUE(ran >= 1 && ran <= threads) << ran;
              });
        }
      }
    }
  }
}

// Long parts, so all threads take some: sums land apart, no more threads join than wanted.
TEST(gemm, inner_split_keeps_the_sums_of_every_thread_apart) {
  const Matrix a = random_matrix(60000, 64, 1), b = random_matrix(60000, 64, 2);
  const Matrix expected = product(a, true, b, false);
  for (int threads : {3, 2}) {
    const tensor::detail::ProductPlan plan{.split = tensor::detail::Split::inner, .parts = 12, .threads = threads};
    for (int round = 0; round < 10; ++round) {
      Matrix c;
      const int ran = tensor::detail::gemm_planned(c, a, Transpose::yes, b, Transpose::no, plan);
      EXPECT_TRUE(ran <= threads && close(c, expected, 1e-3)) << ran << " threads ran";
    }
  }
}

// Forks while another thread is in OpenBLAS (whose allocator lock is process-wide): each child's
// product must finish. The first child, forked with the pool idle, splits it on a pool of its own;
// the others do not allocate (a sanitizer's allocator lock may be held at the fork).
TEST(gemm, children_of_a_fork_compute_on_threads_of_their_own) {
  const Matrix a = random_matrix(96, 96, 1), b = random_matrix(96, 96, 2);
  const tensor::detail::ProductPlan plan{.split = tensor::detail::Split::rows, .parts = 4, .threads = 2}, serial;
  Matrix c;
  tensor::detail::gemm_planned(c, a, Transpose::no, b, Transpose::no, plan);
  ASSERT_GE(tensor::detail::pool_workers(), 1);
  std::atomic<bool> done{false};
  std::thread busy;
  int failed = 0;
  for (int trial = 0; trial <= 300; ++trial) {
    const pid_t child = fork();
    if (child == 0) {
      alarm(10);  // a hung child ends by SIGALRM
      const bool first = trial == 0, forgot = tensor::detail::pool_workers() == 0;
      tensor::detail::gemm_planned(c, a, Transpose::no, b, Transpose::no, first ? plan : serial);
      const bool right = !first || (forgot && tensor::detail::pool_workers() == 1 &&
                                    close(c, product(a, false, b, false)));
      _exit(right ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    if (trial == 0) {
      busy = std::thread([&] {
        for (Matrix d; !done.load();)
          tensor::detail::gemm_planned(d, a, Transpose::no, b, Transpose::no, plan);
      });
    }
  }
  done.store(true);
  busy.join();
  EXPECT_EQ(failed, 0);
}

TEST(elementwise, sums_run_left_to_right_in_float32) {
  // 1e8 + 1 - 1e8 ... : a pairwise or double sum would keep the ones.
  const float v[] = {1e8f, 1.0f, 1.0f, 1.0f, -1e8f}, w[] = {-3.0f, 0.5f};
  EXPECT_EQ(tensor::sum_abs(v, 5), 2e8f);
  EXPECT_EQ(tensor::sum_squares(w, 2), 9.25f);
}

// Impossible sizes fail as kemb::Error wherever they arise. Sizes stay at
// 2^46 floats (256 TiB) or more: beyond any address space and
// AddressSanitizer's limit, so the failure is certain whatever the overcommit.
TEST(resource_limits, impossible_sizes_raise_errors) {
  constexpr std::size_t k46 = std::size_t{1} << 46, k40 = std::size_t{1} << 40;
  const std::string overflow = "capacity overflow",
                    failed = "memory allocation of 281474976710656 bytes failed";
  // clang-format off
  const struct {
    const char* name;
    void (*body)();
    const std::string& message;
  } cases[] = {
      {"matrix of 2^40 x 2^40", [] { Matrix m(k40, k40); }, overflow},
      {"matrix of 2^62 floats", [] { Matrix m(std::size_t{1} << 61, 2); }, overflow},
      {"matrix of 256 TiB", [] { Matrix m(k46, 1); }, failed},
      {"vector of 2^62 floats", [] { Vector v(std::size_t{1} << 62); }, overflow},
      {"labels of 256 TiB", [] { Labels l; tensor::resize_checked(l, k46); }, failed},
      {"reshape to 256 TiB", [] { Matrix(2, 2).reshape_for_overwrite(1, k46); }, failed},
      {"dense layer of 2^40 x 2^40", [] { dense(k40, k40).init(); }, overflow},
      {"dense layer of 1 x 2^46 (biases)", [] { dense(0, k46).init(); }, failed},
      {"product of 256 TiB",
       [] { Matrix c; tensor::gemm(c, Matrix(k46 / 4, 0), Transpose::no, Matrix(0, 4), Transpose::no); },
       failed},
      {"product whose size overflows",
       [] { Matrix c; tensor::gemm(c, Matrix(8, 0), Transpose::no, Matrix(0, 1ull << 62), Transpose::no); },
       overflow},
  };
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(message_of(c.body), c.message) << c.name;
}
}  // namespace
}  // namespace kemb::test
