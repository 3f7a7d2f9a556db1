// Impossible sizes fail as kemb::Error ("memory allocation of N bytes
// failed" or "capacity overflow") wherever they arise. Sizes stay at 2^46
// floats (256 TiB) or more: beyond any address space and AddressSanitizer's
// limit, so the failure is certain whatever the overcommit policy.
#include <functional>

#include "support.hpp"
#include "tensor/gemm.hpp"

namespace kemb::test {
namespace {

using tensor::Labels;
using tensor::resize_checked;

constexpr std::size_t k46 = std::size_t{1} << 46;
constexpr std::size_t k40 = std::size_t{1} << 40;
const std::string kFailed256TiB = "memory allocation of 281474976710656 bytes failed";

// a: (m, k), b: (k, n) -> (m, n)
Matrix matmul(const Matrix& a, const Matrix& b) {
  Matrix c;
  tensor::gemm(c, a, tensor::Transpose::no, b, tensor::Transpose::no);
  return c;
}

struct Case {
  const char* name;
  std::function<void()> body;
  std::string message;
};

TEST(resource_limits, impossible_sizes_raise_errors) {
  const Case cases[] = {
      {"matrix of 2^40 x 2^40", [] { Matrix m(k40, k40); }, "capacity overflow"},
      {"matrix of 2^62 floats", [] { Matrix m(std::size_t{1} << 61, 2); }, "capacity overflow"},
      {"matrix of 256 TiB", [] { Matrix m(k46, 1); }, kFailed256TiB},
      {"vector of 2^62 floats", [] { Vector v(std::size_t{1} << 62); }, "capacity overflow"},
      {"labels of 256 TiB", [] { Labels l; resize_checked(l, k46); }, kFailed256TiB},
      {"reshape to 256 TiB", [] { Matrix m(2, 2); m.reshape_for_overwrite(1, k46); },
       kFailed256TiB},
      {"dense layer of 2^40 x 2^40", [] { dense(k40, k40).init(); }, "capacity overflow"},
      {"dense layer of 1 x 2^46 (biases)", [] { dense(0, k46).init(); }, kFailed256TiB},
      {"product of 256 TiB", [] { matmul(Matrix(k46 / 4, 0), Matrix(0, 4)); },
       kFailed256TiB},
      {"product whose size overflows",
       [] { matmul(Matrix(8, 0), Matrix(0, std::size_t{1} << 62)); },
       "capacity overflow"},
  };
  for (const Case& c : cases) EXPECT_EQ(message_of(c.body), c.message) << c.name;
}

}  // namespace
}  // namespace kemb::test
