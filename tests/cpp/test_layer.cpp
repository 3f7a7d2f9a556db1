// The Layer record: init, and the dense and dropout passes against references.
#include "layer/dense.hpp"
#include "layer/dropout.hpp"
#include "support.hpp"

namespace kemb::test {
namespace {

TEST(layer_init, dense_draws_scaled_normals_and_keeps_every_other_field) {
  Layer layer = dense(400, 500);
  layer.dweights = Matrix(1, 1);
  layer.weight_cache = Matrix(2, 2);
  layer.weight_regularizer_l2 = 0.5f;
  const Layer before = layer;
  layer.init();
  ASSERT_EQ(layer.weights.rows, 400u);
  ASSERT_EQ(layer.weights.cols, 500u);
  EXPECT_EQ(layer.biases, Vector(500));
  Layer rest = layer;
  rest.weights = before.weights;
  rest.biases = before.biases;
  EXPECT_EQ(rest, before);

  double sum = 0.0, squares = 0.0, beyond = 0.0;
  const double n = static_cast<double>(layer.weights.size());
  for (float w : layer.weights.data) {
    sum += w;
    squares += static_cast<double>(w) * w;
    beyond += std::fabs(w) > 0.03f;
  }
  // Bounds of about six standard errors; 0.27% of a normal lies beyond 3 sigma.
  EXPECT_LT(std::fabs(sum / n), 1.5e-4);
  EXPECT_NEAR(std::sqrt(squares / n - (sum / n) * (sum / n)), 0.01, 1e-4);
  EXPECT_NEAR(beyond / n, 0.0027, 0.0008);
}

TEST(layer_init, dropout_rate_becomes_keep_probability_and_other_types_stay) {
  Layer layer = dropout(0.2f);
  layer.init();
  EXPECT_EQ(layer.dropout_rate, 1.0f - 0.2f);
  EXPECT_TRUE(layer.weights.empty());
  for (const char* type : {"", "Dense", "dense ", "DROPOUT", "conv"}) {
    Layer other = dense(2, 2);
    other.layer_type = type;
    other.dropout_rate = 0.3f;
    const Layer before = other;
    other.init();
    EXPECT_EQ(other, before) << type;
  }
}

TEST(dense, forward_worked_examples_and_failures) {
  Layer layer = dense(Matrix(2, 2, {1, 2, 3, 4}), vec({10, 20}));
  EXPECT_EQ(forward(layer, Matrix(1, 2, {1, 1}), false), Matrix(1, 2, {14, 26}));
  EXPECT_EQ(layer.inputs, Matrix(1, 2, {1, 1}));
  layer.activation_type = "relu";
  EXPECT_EQ(forward(layer, Matrix(1, 2, {-20, 0}), true), Matrix(1, 2, {0, 0}));
  EXPECT_EQ(layer.activation_inputs, Matrix(1, 2, {-10, -20}));

  EXPECT_EQ(message_of([&] { forward(layer, Matrix(1, 3), true); }),
            "ndarray: inputs 1 \u00d7 3 and 2 \u00d7 2 are not compatible for matrix "
            "multiplication");
  for (const char* activation : {"", "relu"}) {
    Layer short_biases = dense(Matrix(2, 3), Vector(2), activation);
    EXPECT_EQ(message_of([&] { forward(short_biases, Matrix(1, 2), true); }), kIndexError);
  }
}

TEST(dense, backward_matches_reference) {
  for (const char* activation : {"", "relu"}) {
    Layer layer = dense(random_matrix(6, 4, 20), random_vector(4, 21), activation);
    const Matrix x = random_matrix(9, 6, 22), g = random_matrix(9, 4, 23);
    forward(layer, x, true);
    const Matrix dinputs = backward(layer, g);
    Matrix local = g;  // the gradient at the layer's own output
    Matrix sums(1, 4);
    for (std::size_t k = 0; k < local.size(); ++k) {
      if (*activation && layer.activation_inputs.data[k] <= 0.0f) local.data[k] = 0.0f;
      sums.data[k % 4] += local.data[k];
    }
    EXPECT_TRUE(close(layer.dweights, product(x, true, local, false)));
    EXPECT_TRUE(close(dinputs, product(local, false, layer.weights, true)));
    EXPECT_TRUE(close(Matrix(1, 4, layer.dbiases.data), sums));
    // Skipping the input gradient changes nothing else.
    Layer skipping = layer;
    Matrix consumed = g, unused;
    skipping.backward(unused, consumed, false);
    EXPECT_EQ(skipping, layer);
  }
}

TEST(dense, regularizer_terms_are_added_in_order) {
  Layer layer = dense(Matrix(2, 2, {0.0f, -2.0f, 3.0f, nan()}), vec({-1, 0}));
  const Matrix g = random_matrix(3, 2, 25);
  forward(layer, random_matrix(3, 2, 24), true);
  backward(layer, g);
  const Matrix plain_dw = layer.dweights;
  const Vector plain_db = layer.dbiases;

  layer.weight_regularizer_l1 = 0.5f;
  layer.weight_regularizer_l2 = 0.25f;
  layer.bias_regularizer_l1 = 0.75f;
  layer.bias_regularizer_l2 = 1.5f;
  backward(layer, g);
  // The l1 term (sign of zero and NaN: +1), then the l2 term, each rounded.
  const auto add = [](tensor::FloatArray g, const tensor::FloatArray& p, float l1, float l2) {
    for (std::size_t k = 0; k < g.size(); ++k) {
      g[k] = g[k] + (p[k] < 0.0f ? -1.0f : 1.0f) * l1;
      g[k] = g[k] + p[k] * (l2 + l2);
    }
    return g;
  };
  EXPECT_TRUE(same_bits(layer.dweights, Matrix(2, 2, add(plain_dw.data, layer.weights.data, 0.5f, 0.25f))));
  EXPECT_TRUE(same_bits(layer.dbiases, Vector(add(plain_db.data, layer.biases.data, 0.75f, 1.5f))));

  // A coefficient that is 0, negative or NaN adds nothing.
  for (float off : {0.0f, -1.0f, nan()}) {
    layer.weight_regularizer_l1 = layer.weight_regularizer_l2 = off;
    layer.bias_regularizer_l1 = layer.bias_regularizer_l2 = off;
    backward(layer, g);
    EXPECT_TRUE(same_bits(layer.dweights, plain_dw));
    EXPECT_TRUE(same_bits(layer.dbiases, plain_db));
  }
}

TEST(dense, backward_shape_failures_survive_skipping) {
  for (bool want : {true, false}) {
    Layer layer = dense(Matrix(2, 3), Vector(3));
    forward(layer, Matrix(4, 2), true);
    Matrix rows_mismatch(5, 3), out;
    EXPECT_EQ(message_of([&] { layer.backward(out, rows_mismatch, want); }),
              "ndarray: inputs 2 \u00d7 4 and 5 \u00d7 3 are not compatible for matrix "
              "multiplication");
    // 0-row batch: the weight gradient forms, the input gradient (G . W^T) cannot.
    forward(layer, Matrix(0, 2), true);
    Matrix cols_mismatch(0, 2);
    EXPECT_EQ(message_of([&] { layer.backward(out, cols_mismatch, want); }),
              "ndarray: inputs 0 \u00d7 2 and 3 \u00d7 2 are not compatible for matrix "
              "multiplication");
  }
}

TEST(dropout, identity_outside_training) {
  Layer layer = dropout(1.5f);  // not checked outside training
  layer.binary_mask = Matrix(1, 1, {7});
  const Matrix x = random_matrix(3, 4, 30);
  EXPECT_EQ(forward(layer, x, false), x);
  EXPECT_EQ(layer.inputs, x);
  EXPECT_EQ(layer.binary_mask, Matrix(1, 1, {7}));
}

// One draw per element in row-major order: kept when the draw is below
// p x 2^64, and the mask holds 1/p or 0. Keeping nothing gives zeros, not 0/0.
TEST(dropout, mask_takes_one_draw_per_element_in_row_major_order) {
  const Matrix x = random_matrix(37, 29, 32);
  for (float p : {0.3f, 0.5f, 1.0f, 0.0f}) {
    Layer layer = dropout(p);
    Matrix seen;
    {
      SeededRng seeded("12345");
      seen = forward(layer, x, true);
    }
    SeededRng seeded("12345");
    std::vector<std::uint64_t> draws(x.size());
    random::fill_u64(draws.data(), draws.size());
    const long double threshold = static_cast<long double>(p) * 18446744073709551616.0L;
    Matrix mask = x, out = x;
    for (std::size_t k = 0; k < x.size(); ++k) {
      const float b = static_cast<long double>(draws[k]) < threshold ? 1.0f : 0.0f;
      mask.data[k] = p == 0.0f ? 0.0f : b / p;
      out.data[k] = x.data[k] * mask.data[k];
    }
    EXPECT_TRUE(same_bits(layer.binary_mask, mask)) << p;
    EXPECT_TRUE(same_bits(seen, out)) << p;
  }
}

TEST(dropout, probability_errors_even_for_empty_input) {
  for (auto [p, error] : {std::pair{-0.1f, "ProbabilityTooSmall"}, {nan(), "ProbabilityTooSmall"},
                          {1.5f, "ProbabilityTooLarge"}, {inf(), "ProbabilityTooLarge"}}) {
    for (const Matrix& x : {Matrix(), Matrix(2, 2)}) {
      Layer layer = dropout(p);
      EXPECT_EQ(message_of([&] { forward(layer, x, true); }), kResultPrefix + error);
    }
  }
  Layer empty_batch = dropout(0.5f);
  EXPECT_TRUE(same_bits(forward(empty_batch, Matrix(0, 3), true), Matrix(0, 3)));
  EXPECT_TRUE(same_bits(empty_batch.binary_mask, Matrix(0, 3)));
}

TEST(dropout, backward_multiplies_by_the_mask_read_by_position) {
  Layer layer = dropout(0.5f);
  layer.binary_mask = Matrix(2, 3, {2, 0, 2, 0, 2, 9});
  EXPECT_EQ(backward(layer, Matrix(2, 2, {1, 2, 3, 4})), Matrix(2, 2, {2, 0, 0, 8}));
  for (bool want : {true, false}) {
    layer.binary_mask = want ? Matrix(1, 2) : Matrix(2, 1);
    Matrix g(2, 2), out;
    EXPECT_EQ(message_of([&] { layer.backward(out, g, want); }), kIndexError);
  }
}

}  // namespace
}  // namespace kemb::test
