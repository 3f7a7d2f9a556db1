// Model forward pass, prediction, backward pass over the layer stack and the
// regularization loss (each term only with its coefficient > 0). The
// buffered passes are compared with a plain layer-by-layer run on value
// copies: outputs and every layer field must agree, including after the
// training set was lent to the first layer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "activation/softmax.hpp"
#include "loss/categorical_crossentropy.hpp"
#include "loss/mean_squared_error.hpp"
#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "random/thread_rng.hpp"
#include "reference.hpp"
#include "values.hpp"

namespace kemb {

using tensor::Labels;
using tensor::Matrix;
using tensor::Vector;

namespace {

Layer make_layer(const char* type, const char* activation, std::size_t in, std::size_t out,
                 unsigned seed) {
  Layer layer;
  layer.layer_type = type;
  layer.activation_type = activation;
  if (std::string(type) == "dense") {
    layer.n_inputs = in;
    layer.n_neurons = out;
    layer.weights = ref::random_matrix(in, out, seed);
    layer.biases = ref::random_vector(out, seed + 1, 0.1f);
  } else {
    layer.dropout_rate = 0.75f;
  }
  return layer;
}

// dense-relu, dropout, dense-relu, dense: every routing case of the pass.
CategoricalModel stacked_model() {
  CategoricalModel model;
  model.layers = {make_layer("dense", "relu", 5, 8, 1), make_layer("dropout", "", 0, 0, 0),
                  make_layer("dense", "relu", 8, 6, 3), make_layer("dense", "", 6, 4, 5)};
  return model;
}

// The plain pass: value copies between layers, no workspace.
Matrix plain_forward(std::vector<Layer>& layers, const Matrix& x, bool training) {
  Matrix current = x;
  for (Layer& layer : layers) current = ref::forward(layer, current, training);
  return current;
}

void plain_backward(std::vector<Layer>& layers, Matrix gradient) {
  for (std::size_t i = layers.size(); i-- > 0;) gradient = ref::backward(layers[i], gradient);
}

class SeededRng {
 public:
  SeededRng() {
    setenv("KEMB_SEED", "777", 1);
    random::reset_thread_rng();
  }
  ~SeededRng() {
    unsetenv("KEMB_SEED");
    random::reset_thread_rng();
  }
};

TEST(model, buffered_passes_equal_the_plain_layer_by_layer_run) {
  const Matrix x = ref::random_matrix(11, 5, 10);
  const Matrix val_x = ref::random_matrix(4, 5, 11);
  const Labels y = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2};
  CategoricalModel buffered = stacked_model();
  CategoricalModel plain = stacked_model();
  model::Workspace ws;
  ws.training_input = x;
  for (int epoch = 0; epoch < 3; ++epoch) {
    Matrix expected;
    {
      SeededRng seeded;  // the same dropout masks on both sides
      expected = softmax::forward(plain_forward(plain.layers, x, true));
    }
    {
      SeededRng seeded;
      const Matrix& out = buffered.forward(ws.training_input, true, ws);
      ASSERT_TRUE(ref::same_bits(out, expected)) << "epoch " << epoch;
      categorical_crossentropy::backward(ws.gradient, out, y);
    }
    buffered.backward(ws);
    plain_backward(plain.layers, categorical_crossentropy::backward(expected, y));
    ASSERT_EQ(buffered.layers, plain.layers) << "after backward, epoch " << epoch;

    // Validation on other data takes the lent training set back first.
    const Matrix& val_out = buffered.forward(val_x, false, ws);
    ASSERT_TRUE(ref::same_bits(val_out, softmax::forward(plain_forward(plain.layers, val_x, false))));
    ASSERT_EQ(buffered.layers, plain.layers) << "after validation, epoch " << epoch;
  }
  // The training set is intact after the lending.
  EXPECT_FALSE(ws.training_input_lent);
  EXPECT_EQ(ws.training_input, x);
}

TEST(model, linear_model_passes_and_unknown_layer_types) {
  LinearModel model;
  model.layers = {make_layer("dense", "", 3, 4, 20), make_layer("mystery", "relu", 0, 0, 0),
                  make_layer("dense", "", 0, 2, 22)};
  // The unknown layer outputs 0 x 0, which the last dense layer (0 inputs)
  // multiplies into a 0 x 2 output.
  const Matrix x = ref::random_matrix(6, 3, 23);
  model::Workspace ws;
  const Matrix& out = model.forward(x, true, ws);
  EXPECT_EQ(out.rows, 0u);
  EXPECT_EQ(out.cols, 2u);
  EXPECT_TRUE(model.layers[1].inputs.empty());
  // A linear model without layers returns its input.
  LinearModel bare;
  EXPECT_EQ(ref::forward(bare, x, true), x);
  bare.output_type = "identity";
  EXPECT_EQ(ref::forward(bare, x, false), x);
}

TEST(model, linear_backward_matches_the_plain_run) {
  LinearModel buffered;
  buffered.layers = {make_layer("dense", "relu", 4, 6, 30), make_layer("dense", "", 6, 3, 32)};
  LinearModel plain = buffered;
  const Matrix x = ref::random_matrix(8, 4, 34);
  const Vector y = ref::random_vector(8, 35);
  model::Workspace ws;
  const Matrix& out = buffered.forward(x, true, ws);
  const Matrix expected = plain_forward(plain.layers, x, true);
  ASSERT_TRUE(ref::same_bits(out, expected));
  mean_squared_error::backward(ws.gradient, out, y);
  buffered.backward(ws);
  plain_backward(plain.layers, mean_squared_error::backward(expected, y));
  EXPECT_EQ(buffered.layers, plain.layers);
}

TEST(model, categorical_output_type_selects_softmax_exactly) {
  const Matrix x(2, 3, {1, 2, 3, 0, 0, 0});
  CategoricalModel model;
  EXPECT_TRUE(ref::same_bits(ref::forward(model, x, false), softmax::forward(x)));
  for (const char* other : {"Softmax", "softmax ", "linear"}) {
    model.output_type = other;
    EXPECT_EQ(ref::forward(model, x, false), x);
    EXPECT_TRUE(ref::predict(other, x).empty());
  }
}

TEST(model, predict_first_maximum_wins) {
  const Matrix rows(4, 3, {0.2f, 0.5f, 0.5f, ref::nan(), 3.0f, 1.0f, 1.0f, ref::nan(), 2.0f,
                           -ref::inf(), -ref::inf(), -ref::inf()});
  EXPECT_EQ(ref::predict("softmax", rows), (Labels{1, 0, 2, 0}));
  EXPECT_EQ(ref::predict("softmax", Matrix(3, 0)), (Labels{0, 0, 0}));
  EXPECT_TRUE(ref::predict("softmax", Matrix(0, 4)).empty());
}

TEST(model, regularization_loss_weighs_every_term_by_its_coefficient) {
  Layer layer;
  layer.weights = Matrix(2, 2, {1, -2, 0.5f, 0});
  layer.biases = ref::vec({1, -1});
  CategoricalModel model;
  model.layers = {layer};
  // With every coefficient 0 there is no penalty at all (the weight
  // magnitude, 3.5 here, is not added with an implicit coefficient 1).
  EXPECT_EQ(model.regularization_loss(), 0.0f);

  model.layers[0].weight_regularizer_l1 = 1.0f;
  EXPECT_EQ(model.regularization_loss(), 3.5f);
  model.layers[0].weight_regularizer_l2 = 0.1f;
  EXPECT_EQ(ref::bits(model.regularization_loss()), ref::bits(3.5f + 0.1f * 5.25f));
  model.layers[0].weight_regularizer_l1 = 0.5f;
  model.layers[0].bias_regularizer_l1 = 0.25f;
  model.layers[0].bias_regularizer_l2 = 2.0f;
  float expected = 0.0f;
  expected += 0.5f * 3.5f;
  expected += 0.1f * 5.25f;
  expected += 0.25f * 2.0f;
  expected += 2.0f * 2.0f;
  EXPECT_EQ(ref::bits(model.regularization_loss()), ref::bits(expected));

  // A second layer adds after the first; NaN and negative coefficients count
  // as not > 0.
  Layer second = layer;
  second.weight_regularizer_l1 = ref::nan();
  second.weight_regularizer_l2 = -1.0f;
  second.bias_regularizer_l1 = 3.0f;
  model.layers.push_back(second);
  EXPECT_EQ(ref::bits(model.regularization_loss()), ref::bits(expected + 3.0f * 2.0f));

  LinearModel linear;
  EXPECT_EQ(linear.regularization_loss(), 0.0f);
  linear.layers = model.layers;
  EXPECT_EQ(ref::bits(linear.regularization_loss()), ref::bits(expected + 3.0f * 2.0f));
}

}  // namespace
}  // namespace kemb
