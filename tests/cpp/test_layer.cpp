// Layer init, the dense and dropout passes against references; the model's
// passes against a plain layer-by-layer run, prediction, regularization, reports.
#include "activation/softmax.hpp"
#include "layer/dense.hpp"
#include "layer/dropout.hpp"
#include "loss/categorical_crossentropy.hpp"
#include "loss/mean_squared_error.hpp"
#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "model/report.hpp"
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
  }
}

TEST(dense, regularizer_terms_are_added_in_order) {
  Layer layer = dense(Matrix(2, 2, {0.0f, -2.0f, 3.0f, nan()}), vec({-1, 0}));
  const Matrix g = random_matrix(3, 2, 25);
  forward(layer, random_matrix(3, 2, 24), true);
  backward(layer, g);
  const Matrix plain_dw = layer.dweights;
  const Vector plain_db = layer.dbiases;

  // The l1 term (sign of 0 and NaN: +1), then l2, each rounded; a coefficient not above 0 adds 0.
  const auto add = [](tensor::FloatArray g, const tensor::FloatArray& p, float l1, float l2) {
    for (std::size_t k = 0; k < g.size(); ++k) {
      if (l1 > 0.0f) g[k] = g[k] + (p[k] < 0.0f ? -1.0f : 1.0f) * l1;
      if (l2 > 0.0f) g[k] = g[k] + p[k] * (l2 + l2);
    }
    return g;
  };
  const auto check = [&](float l1, float l2, float b1, float b2) {
    layer.weight_regularizer_l1 = l1;
    layer.weight_regularizer_l2 = l2;
    layer.bias_regularizer_l1 = b1;
    layer.bias_regularizer_l2 = b2;
    backward(layer, g);
    EXPECT_TRUE(
        same_bits(layer.dweights, Matrix(2, 2, add(plain_dw.data, layer.weights.data, l1, l2))));
    EXPECT_TRUE(same_bits(layer.dbiases, Vector(add(plain_db.data, layer.biases.data, b1, b2))));
  };
  check(0.5f, 0.25f, 0.75f, 1.5f);
  for (float off : {0.0f, -0.5f, nan()}) {
    check(off, 0.25f, off, 1.5f);
    check(0.5f, off, 0.75f, off);
    check(off, off, off, off);
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
  for (auto [p, error] : {std::pair{-0.1f, "ProbabilityTooSmall"},
                          {nan(), "ProbabilityTooSmall"},
                          {1.5f, "ProbabilityTooLarge"},
                          {inf(), "ProbabilityTooLarge"}}) {
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

// dense-relu, dropout, dense-relu, dense: every routing case of the pass.
std::vector<Layer> stacked_layers() {
  std::vector<Layer> layers;
  for (auto [in, out, activation] : {std::tuple{5u, 8u, "relu"}, {8u, 6u, "relu"}, {6u, 4u, ""}}) {
    layers.push_back(dense(random_matrix(in, out, in), random_vector(out, out, 0.1f), activation));
  }
  layers.insert(layers.begin() + 1, dropout(0.75f));
  return layers;
}

// The plain pass: value copies between layers, no workspace; a categorical model's softmax.
template <typename Model>
Matrix plain_output(Model& model, const Matrix& x, bool training) {
  Matrix current = x;
  for (Layer& layer : model.layers) current = forward(layer, current, training);
  if constexpr (std::is_same_v<Model, CategoricalModel>)
    current = out_of(softmax::forward, current);
  return current;
}

// Three epochs of forward, loss gradient and backward, each followed by a
// validation pass on other data, which takes the lent training set back.
template <typename Model, typename Targets>
void check_buffered_passes(const Matrix& x, const Targets& y,
                           void (*loss_backward)(Matrix&, const Matrix&, const Targets&)) {
  Model buffered, plain;
  buffered.layers = plain.layers = stacked_layers();
  const Matrix val_x = random_matrix(4, 5, 11);
  model::Workspace ws;
  ws.training_input = x;
  for (int epoch = 0; epoch < 3; ++epoch) {
    Matrix expected;
    {
      SeededRng seeded;  // the same dropout masks on both sides
      expected = plain_output(plain, x, true);
    }
    {
      SeededRng seeded;
      const Matrix& out = buffered.forward(ws.training_input, true, ws);
      ASSERT_TRUE(same_bits(out, expected)) << "epoch " << epoch;
      loss_backward(ws.gradient, out, y);
    }
    model::backward_layers(buffered.layers, ws);
    Matrix gradient = out_of(loss_backward, expected, y);
    for (std::size_t i = plain.layers.size(); i-- > 0;)
      gradient = backward(plain.layers[i], gradient);
    ASSERT_EQ(buffered.layers, plain.layers) << "after backward, epoch " << epoch;
    ASSERT_TRUE(same_bits(buffered.forward(val_x, false, ws), plain_output(plain, val_x, false)));
    ASSERT_EQ(buffered.layers, plain.layers) << "after validation, epoch " << epoch;
  }
  EXPECT_FALSE(ws.training_input_lent);
  EXPECT_EQ(ws.training_input, x);
}

TEST(model, buffered_passes_equal_the_plain_layer_by_layer_run) {
  const Matrix x = random_matrix(11, 5, 10);
  check_buffered_passes<CategoricalModel>(x, Labels{0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2},
                                          categorical_crossentropy::backward);
  check_buffered_passes<LinearModel>(x, random_vector(11, 35), mean_squared_error::backward);
}

TEST(model, unknown_layer_types_and_empty_stacks) {
  LinearModel model;
  model.layers = {dense(random_matrix(3, 4, 20), random_vector(4, 21)), dense(0, 0, "relu"),
                  dense(Matrix(0, 2), random_vector(2, 22))};
  model.layers[1].layer_type = "mystery";
  // The unknown layer outputs 0 x 0; the last dense layer makes it 0 x 2.
  const Matrix x = random_matrix(6, 3, 23);
  model::Workspace ws;
  EXPECT_TRUE(same_bits(model.forward(x, true, ws), Matrix(0, 2)));
  EXPECT_TRUE(model.layers[1].inputs.empty());
  // A categorical model without layers returns the softmax of its input.
  CategoricalModel categorical;
  EXPECT_TRUE(same_bits(categorical.forward(x, false, ws), out_of(softmax::forward, x)));
}

Labels predict(const std::string& output_type, const Matrix& output) {
  CategoricalModel model;
  model.output_type = output_type;
  Labels out;
  model.predict(out, output);
  return out;
}

TEST(model, categorical_output_type_selects_softmax_and_prediction_exactly) {
  const Matrix x(2, 3, {1, 2, 3, 0, 0, 0});
  CategoricalModel model;
  model::Workspace ws;
  for (const char* other : {"Softmax", "softmax ", "linear"}) {
    model.output_type = other;
    EXPECT_EQ(model.forward(x, false, ws), x);
    EXPECT_TRUE(predict(other, x).empty());
  }
  // The first maximum wins; NaN is never a maximum.
  const Matrix rows(
      4, 3, {0.2f, 0.5f, 0.5f, nan(), 3.0f, 1.0f, 1.0f, nan(), 2.0f, -inf(), -inf(), -inf()});
  EXPECT_EQ(predict("softmax", rows), (Labels{1, 0, 2, 0}));
  EXPECT_EQ(predict("softmax", Matrix(3, 0)), (Labels{0, 0, 0}));
  EXPECT_TRUE(predict("softmax", Matrix(0, 4)).empty());
}

TEST(model, regularization_loss_weighs_every_term_by_its_coefficient) {
  Layer layer = dense(Matrix(2, 2, {1, -2, 0.5f, 0}), vec({1, -1}));
  CategoricalModel model;
  model.layers = {layer};
  // All coefficients 0: no penalty (the weight magnitude, 3.5, is not added with coefficient 1).
  EXPECT_EQ(model::regularization_loss(model.layers), 0.0f);
  model.layers[0].weight_regularizer_l1 = 0.5f;
  model.layers[0].weight_regularizer_l2 = 0.1f;
  model.layers[0].bias_regularizer_l1 = 0.25f;
  model.layers[0].bias_regularizer_l2 = 2.0f;
  float expected = 0.0f;
  for (float term : {0.5f * 3.5f, 0.1f * 5.25f, 0.25f * 2.0f, 2.0f * 2.0f}) expected += term;
  EXPECT_EQ(bits(model::regularization_loss(model.layers)), bits(expected));

  // A second layer adds after the first; NaN and negative coefficients are not > 0.
  layer.weight_regularizer_l1 = nan();
  layer.weight_regularizer_l2 = -1.0f;
  layer.bias_regularizer_l1 = 3.0f;
  model.layers.push_back(layer);
  EXPECT_EQ(bits(model::regularization_loss(model.layers)), bits(expected + 3.0f * 2.0f));
  LinearModel linear;
  EXPECT_EQ(model::regularization_loss(linear.layers), 0.0f);
  linear.layers = model.layers;
  EXPECT_EQ(bits(model::regularization_loss(linear.layers)), bits(expected + 3.0f * 2.0f));
}

TEST(report, lines) {
  using namespace report;
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {training_line(10, 0.875f, 0.398f, 0.014f, "categorical_crossentropy", 0.001f),
       "epoch:   10, acc: 0.875, loss: 0.412 [categorical_crossentropy: 0.398, reg: 0.014], "
       "lr 0.001\n"},
      {training_line(12345, nan(), 1e20f, 0.0f, "mse", 1.0f),
       "epoch: 12345, acc: NaN, loss: 100000002004087734272.000 [mse: 100000002004087734272.000, "
       "reg: 0.000], lr 1\n"},
      {training_line(1, 0.0f, 0.0f, 0.0f, "", 1e-7f),
       "epoch:    1, acc: 0.000, loss: 0.000 [: 0.000, reg: 0.000], lr 0.0000001\n"},
      // The total is summed in float32 before it is rounded to three digits:
      // 0.0004 + 0.0004 prints 0.001 although each part prints 0.000.
      {validation_line(1.0f, 0.0004f, 0.0004f, "x"),
       "validation:  acc: 1.000, loss: 0.001 [x: 0.000, reg: 0.000]\n"},
      {categorical_sample_line(2, 2, 0.973f * 100.0f), "True: 2, Predicted: 2, Certainty: 97.3%\n"},
      {linear_sample_line(1.5f, 1.32f, 1.5f - 1.32f), "True: 1.500, Predicted: 1.320, Error 0.180\n"},
  };
  // clang-format on
  for (const auto& [line, expected] : cases) EXPECT_EQ(line, expected);
}

}  // namespace
}  // namespace kemb::test
