// The core reaches OpenBLAS: one small product through scipy_cblas_sgemm.
#include <cblas.h>
#include <gtest/gtest.h>

#include <vector>

TEST(blas, small_row_major_product) {
  // (2 x 3) . (3 x 2)
  const std::vector<float> a = {1, 2, 3, 4, 5, 6};
  const std::vector<float> b = {7, 8, 9, 10, 11, 12};
  std::vector<float> c(4, -1.0f);
  scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 2, 2, 3, 1.0f, a.data(), 3, b.data(),
                    2, 0.0f, c.data(), 2);
  EXPECT_EQ(c, (std::vector<float>{58, 64, 139, 154}));
}

TEST(blas, transposes_are_flags) {
  // a^T . b with a stored as (3 x 2): the result equals the plain product of
  // the transposed copy.
  const std::vector<float> a = {1, 4, 2, 5, 3, 6};
  const std::vector<float> b = {7, 8, 9, 10, 11, 12};
  std::vector<float> c(4, 0.0f);
  scipy_cblas_sgemm(CblasRowMajor, CblasTrans, CblasNoTrans, 2, 2, 3, 1.0f, a.data(), 2, b.data(),
                    2, 0.0f, c.data(), 2);
  EXPECT_EQ(c, (std::vector<float>{58, 64, 139, 154}));
}
