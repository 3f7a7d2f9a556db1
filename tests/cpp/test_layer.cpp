// Dense and dropout layers through Layer::forward and Layer::backward: the
// worked examples, caches, regularizer terms, the dropout mask (its draws,
// an all-dropping mask and the probability errors) and the dispatch on
// unknown types.
#include <gtest/gtest.h>

#include <cstdlib>

#include "dyn_layer.hpp"
#include "layer/dense.hpp"
#include "layer/dropout.hpp"
#include "random/thread_rng.hpp"
#include "reference.hpp"
#include "values.hpp"
#include "tensor/gemm.hpp"

namespace kemb {

using tensor::FloatArray;
using tensor::Matrix;
using tensor::Vector;

namespace {

Layer dense(Matrix weights, Vector biases, const char* activation = "") {
  Layer layer;
  layer.layer_type = "dense";
  layer.activation_type = activation;
  layer.n_inputs = weights.rows;
  layer.n_neurons = weights.cols;
  layer.weights = std::move(weights);
  layer.biases = std::move(biases);
  return layer;
}

Layer dropout_layer(float keep) {
  Layer layer;
  layer.layer_type = "dropout";
  layer.dropout_rate = keep;
  return layer;
}

// Seeds the thread's generator for the duration of a test.
class SeededRng {
 public:
  explicit SeededRng(const char* seed) {
    setenv("KEMB_SEED", seed, 1);
    random::reset_thread_rng();
  }
  ~SeededRng() {
    unsetenv("KEMB_SEED");
    random::reset_thread_rng();
  }
};

TEST(dense, forward_worked_examples) {
  Layer layer = dense(Matrix(2, 2, {1, 2, 3, 4}), ref::vec({10, 20}));
  EXPECT_EQ(ref::forward(layer, Matrix(1, 2, {1, 1}), false), Matrix(1, 2, {14, 26}));
  EXPECT_EQ(layer.inputs, Matrix(1, 2, {1, 1}));

  layer.activation_type = "relu";
  EXPECT_EQ(ref::forward(layer, Matrix(1, 2, {-20, 0}), true), Matrix(1, 2, {0, 0}));
  EXPECT_EQ(layer.activation_inputs, Matrix(1, 2, {-10, -20}));
}

TEST(dense, forward_failures) {
  Layer layer = dense(Matrix(2, 2), Vector(2));
  EXPECT_EQ(ref::error_of([&] { ref::forward(layer, Matrix(1, 3), true); }),
            "ndarray: inputs 1 \u00d7 3 and 2 \u00d7 2 are not compatible for matrix "
            "multiplication");
  for (const char* activation : {"", "relu"}) {
    Layer short_biases = dense(Matrix(2, 3), Vector(2), activation);
    EXPECT_EQ(ref::error_of([&] { ref::forward(short_biases, Matrix(1, 2), true); }),
              ref::kIndexError);
  }
}

TEST(dense, backward_matches_reference) {
  for (const char* activation : {"", "relu"}) {
    Layer layer = dense(ref::random_matrix(6, 4, 20), ref::random_vector(4, 21), activation);
    const Matrix x = ref::random_matrix(9, 6, 22);
    const Matrix out = ref::forward(layer, x, true);
    const Matrix g = ref::random_matrix(9, 4, 23);
    const Matrix dinputs = ref::backward(layer, g);

    Matrix local = g;  // the gradient at the layer's own output
    if (layer.activation_type == "relu") {
      for (std::size_t k = 0; k < local.size(); ++k) {
        if (layer.activation_inputs.data[k] <= 0.0f) local.data[k] = 0.0f;
      }
    }
    EXPECT_TRUE(ref::close(layer.dweights, ref::product(x, true, local, false)));
    EXPECT_TRUE(ref::close(dinputs, ref::product(local, false, layer.weights, true)));
    Matrix sums(1, 4);
    for (std::size_t i = 0; i < 9; ++i) {
      for (std::size_t j = 0; j < 4; ++j) sums(0, j) += local(i, j);
    }
    EXPECT_TRUE(ref::close(Matrix(1, 4, layer.dbiases.data), sums));
    // Skipping the input gradient changes nothing else.
    Layer skipping = layer;
    Matrix consumed = g;
    Matrix unused;
    skipping.backward(unused, consumed, false);
    EXPECT_EQ(skipping, layer);
  }
}

TEST(dense, regularizer_terms_are_added_in_order) {
  Layer layer = dense(Matrix(2, 2, {0.0f, -2.0f, 3.0f, ref::nan()}), ref::vec({-1, 0}));
  const Matrix x = ref::random_matrix(3, 2, 24);
  const Matrix g = ref::random_matrix(3, 2, 25);
  ref::forward(layer, x, true);
  ref::backward(layer, g);
  const Matrix plain_dw = layer.dweights;
  const Vector plain_db = layer.dbiases;

  layer.weight_regularizer_l1 = 0.5f;
  layer.weight_regularizer_l2 = 0.25f;
  layer.bias_regularizer_l1 = 0.75f;
  layer.bias_regularizer_l2 = 1.5f;
  ref::backward(layer, g);
  Matrix expected_dw = plain_dw;
  for (std::size_t k = 0; k < 4; ++k) {
    const float w = layer.weights.data[k];
    const float s = w < 0.0f ? -1.0f : 1.0f;  // zero and NaN count as +1
    expected_dw.data[k] = expected_dw.data[k] + s * 0.5f;
    expected_dw.data[k] = expected_dw.data[k] + w * (0.25f + 0.25f);
  }
  Vector expected_db = plain_db;
  for (std::size_t j = 0; j < 2; ++j) {
    const float b = layer.biases[j];
    expected_db[j] = expected_db[j] + (b < 0.0f ? -1.0f : 1.0f) * 0.75f;
    expected_db[j] = expected_db[j] + b * (1.5f + 1.5f);
  }
  EXPECT_TRUE(ref::same_bits(layer.dweights, expected_dw));
  EXPECT_TRUE(ref::same_bits(layer.dbiases, expected_db));

  // A coefficient that is 0, negative or NaN adds nothing.
  for (float off : {0.0f, -1.0f, ref::nan()}) {
    layer.weight_regularizer_l1 = layer.weight_regularizer_l2 = off;
    layer.bias_regularizer_l1 = layer.bias_regularizer_l2 = off;
    ref::backward(layer, g);
    EXPECT_TRUE(ref::same_bits(layer.dweights, plain_dw));
    EXPECT_TRUE(ref::same_bits(layer.dbiases, plain_db));
  }
}

TEST(dense, worked_regularizer_examples) {
  // Zero gradient, so dweights and dbiases hold the terms alone.
  Layer layer = dense(Matrix(1, 2, {0, -2}), ref::vec({-1, 2}));
  ref::forward(layer, Matrix(1, 1, {0}), true);
  layer.weight_regularizer_l1 = 0.5f;
  layer.bias_regularizer_l1 = 0.5f;
  ref::backward(layer, Matrix(1, 2));
  EXPECT_EQ(layer.dweights, Matrix(1, 2, {0.5f, -0.5f}));
  EXPECT_EQ(layer.dbiases, ref::vec({-0.5f, 0.5f}));
  layer.weight_regularizer_l1 = 0.0f;
  layer.bias_regularizer_l1 = 0.0f;
  layer.weight_regularizer_l2 = 0.5f;
  layer.bias_regularizer_l2 = 0.25f;
  ref::backward(layer, Matrix(1, 2));
  EXPECT_EQ(layer.dweights, Matrix(1, 2, {0, -2}));
  EXPECT_EQ(layer.dbiases, ref::vec({-0.5f, 1.0f}));
}

TEST(dense, backward_shape_failures_survive_skipping) {
  Layer layer = dense(Matrix(2, 3), Vector(3));
  ref::forward(layer, Matrix(4, 2), true);
  for (bool want : {true, false}) {
    Matrix rows_mismatch(5, 3), out;
    EXPECT_EQ(ref::error_of([&] { layer.backward(out, rows_mismatch, want); }),
              "ndarray: inputs 2 \u00d7 4 and 5 \u00d7 3 are not compatible for matrix "
              "multiplication");
    // 0-row batch: the weight gradient forms, the input gradient cannot.
    Layer empty_batch = dense(Matrix(2, 3), Vector(3));
    ref::forward(empty_batch, Matrix(0, 2), true);
    Matrix cols_mismatch(0, 2);
    EXPECT_EQ(ref::error_of([&] { empty_batch.backward(out, cols_mismatch, want); }),
              "ndarray: inputs 0 \u00d7 2 and 3 \u00d7 2 are not compatible for matrix "
              "multiplication");
  }
}

TEST(dropout, identity_outside_training) {
  Layer layer = dropout_layer(1.5f);  // not checked outside training
  layer.binary_mask = Matrix(1, 1, {7});
  const Matrix x = ref::random_matrix(3, 4, 30);
  EXPECT_EQ(ref::forward(layer, x, false), x);
  EXPECT_EQ(layer.inputs, x);
  EXPECT_EQ(layer.binary_mask, Matrix(1, 1, {7}));
}

TEST(dropout, mask_values_for_keep_probabilities) {
  const Matrix x = ref::random_matrix(40, 50, 31);
  Layer keep_all = dropout_layer(1.0f);
  EXPECT_EQ(ref::forward(keep_all, x, true), x);
  EXPECT_EQ(keep_all.binary_mask, Matrix(40, 50, FloatArray(2000, 1.0f)));

  Layer half = dropout_layer(0.5f);
  const Matrix out = ref::forward(half, x, true);
  std::size_t kept = 0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    ASSERT_TRUE(out.data[k] == 0.0f || out.data[k] == 2.0f * x.data[k]) << k;
    ASSERT_TRUE(half.binary_mask.data[k] == 0.0f || half.binary_mask.data[k] == 2.0f) << k;
    kept += half.binary_mask.data[k] != 0.0f;
  }
  EXPECT_GT(kept, 850u);  // 2000 draws at p = 0.5: 1000 +- 22 (1 sd)
  EXPECT_LT(kept, 1150u);

  // Nothing kept gives zeros, not 0/0.
  Layer none = dropout_layer(0.0f);
  EXPECT_EQ(ref::forward(none, x, true), Matrix(40, 50));
  EXPECT_EQ(none.binary_mask, Matrix(40, 50));
  for (float v : none.binary_mask.data) EXPECT_EQ(ref::bits(v), 0u);
}

TEST(dropout, one_draw_per_element_in_row_major_order) {
  const float p = 0.3f;
  const Matrix x = ref::random_matrix(37, 29, 32);
  Matrix mask;
  {
    SeededRng seeded("12345");
    Layer layer = dropout_layer(p);
    const Matrix out = ref::forward(layer, x, true);
    mask = layer.binary_mask;
    Matrix expected_out = x;
    for (std::size_t k = 0; k < x.size(); ++k) expected_out.data[k] = x.data[k] * mask.data[k];
    EXPECT_TRUE(ref::same_bits(out, expected_out));
  }
  SeededRng seeded("12345");
  std::vector<std::uint64_t> draws(x.size());
  random::fill_u64(draws.data(), draws.size());
  const long double threshold = static_cast<long double>(p) * 18446744073709551616.0L;
  for (std::size_t k = 0; k < x.size(); ++k) {
    const float b = static_cast<long double>(draws[k]) < threshold ? 1.0f : 0.0f;
    ASSERT_EQ(ref::bits(mask.data[k]), ref::bits(b / p)) << k;
  }
}

TEST(dropout, probability_errors_even_for_empty_input) {
  const std::string prefix = "called `Result::unwrap()` on an `Err` value: ";
  struct Case {
    float p;
    const char* error;
  };
  for (const Case& c : {Case{-0.1f, "ProbabilityTooSmall"}, Case{ref::nan(), "ProbabilityTooSmall"},
                        Case{1.5f, "ProbabilityTooLarge"}, Case{ref::inf(), "ProbabilityTooLarge"}}) {
    for (const Matrix& x : {Matrix(), Matrix(2, 2)}) {
      Layer layer = dropout_layer(c.p);
      EXPECT_EQ(ref::error_of([&] { ref::forward(layer, x, true); }), prefix + c.error);
    }
  }
  Layer empty_batch = dropout_layer(0.5f);
  const Matrix out = ref::forward(empty_batch, Matrix(0, 3), true);
  EXPECT_EQ(out.rows, 0u);
  EXPECT_EQ(out.cols, 3u);
  EXPECT_EQ(empty_batch.binary_mask.rows, 0u);
  EXPECT_EQ(empty_batch.binary_mask.cols, 3u);
}

TEST(dropout, backward_multiplies_by_the_mask) {
  Layer layer = dropout_layer(0.5f);
  layer.binary_mask = Matrix(2, 3, {2, 0, 2, 0, 2, 9});
  EXPECT_EQ(ref::backward(layer, Matrix(2, 2, {1, 2, 3, 4})), Matrix(2, 2, {2, 0, 0, 8}));
  layer.binary_mask = Matrix(1, 2);
  for (bool want : {true, false}) {
    Matrix g(2, 2), out;
    EXPECT_EQ(ref::error_of([&] { layer.backward(out, g, want); }), ref::kIndexError);
  }
}

TEST(layer_dispatch, unknown_type_outputs_nothing_and_keeps_caches) {
  Layer layer;
  layer.layer_type = "Dense";
  layer.inputs = Matrix(1, 1, {5});
  EXPECT_EQ(ref::forward(layer, Matrix(2, 2, {1, 2, 3, 4}), true), Matrix());
  EXPECT_EQ(layer.inputs, Matrix(1, 1, {5}));
  EXPECT_EQ(ref::backward(layer, Matrix(2, 2, {1, 2, 3, 4})), Matrix());

  layer.activation_type = "relu";
  EXPECT_EQ(ref::forward(layer, Matrix(2, 2), true), Matrix());
  EXPECT_EQ(layer.activation_inputs, Matrix());
  // With the rectifier the gradient passes through it.
  layer.activation_inputs = Matrix(1, 2, {-1, 1});
  EXPECT_EQ(ref::backward(layer, Matrix(1, 2, {3, 4})), Matrix(1, 2, {0, 4}));
}

}  // namespace
}  // namespace kemb
