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

// A categorical model read back from the text of one dense layer whose
// weights have the given shape and no data (valid when one side is 0).
CategoricalModel loaded_with_weights(std::size_t rows, std::size_t cols) {
  CategoricalModel model;
  model.layers = {dense(Matrix(rows, cols), Vector())};
  model.output_type = "softmax";
  return read<CategoricalModel>(text_of(model));
}

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

TEST(resource_limits, a_loaded_model_claiming_terabytes_fails_in_its_first_pass) {
  // A 0 x 2^46 weight matrix holds no data, so the file is valid; the first
  // product with it would produce one row of 2^46 outputs per sample.
  const auto first_pass = [](CategoricalModel model, std::size_t n_samples) {
    return message_of([&] {
      kemb::model::Workspace ws;
      model.forward(Matrix(n_samples, 0), false, ws);
    });
  };
  CategoricalModel model = loaded_with_weights(0, k46);
  EXPECT_EQ(first_pass(model, 1), kFailed256TiB);
  EXPECT_EQ(first_pass(loaded_with_weights(0, std::size_t{1} << 62), 3), "capacity overflow");
  // Training starts with Layer::init, which allocates n_inputs x n_neurons.
  model.layers[0].n_inputs = k46;
  model.layers[0].n_neurons = 1;
  EXPECT_EQ(message_of([&] { model.layers[0].init(); }), kFailed256TiB);
}

}  // namespace
}  // namespace kemb::test
