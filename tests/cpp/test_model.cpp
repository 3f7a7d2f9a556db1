// Model passes against a plain layer-by-layer run on value copies,
// prediction, the regularization loss and the report lines.
#include "activation/softmax.hpp"
#include "loss/categorical_crossentropy.hpp"
#include "loss/mean_squared_error.hpp"
#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "model/report.hpp"
#include "support.hpp"

namespace kemb::test {
namespace {

// dense-relu, dropout, dense-relu, dense: every routing case of the pass.
std::vector<Layer> stacked_layers() {
  std::vector<Layer> layers;
  for (auto [in, out, activation] : {std::tuple{5u, 8u, "relu"}, {8u, 6u, "relu"}, {6u, 4u, ""}}) {
    layers.push_back(dense(random_matrix(in, out, in), random_vector(out, out, 0.1f), activation));
  }
  layers.insert(layers.begin() + 1, dropout(0.75f));
  return layers;
}

// The plain pass: value copies between layers, no workspace; the softmax
// of a categorical model.
template <typename Model>
Matrix plain_output(Model& model, const Matrix& x, bool training) {
  Matrix current = x;
  for (Layer& layer : model.layers) current = forward(layer, current, training);
  if constexpr (std::is_same_v<Model, CategoricalModel>) current = out_of(softmax::forward, current);
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
    buffered.backward(ws);
    Matrix gradient = out_of(loss_backward, expected, y);
    for (std::size_t i = plain.layers.size(); i-- > 0;) gradient = backward(plain.layers[i], gradient);
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
  // The unknown layer outputs 0 x 0, which the last dense layer (0 inputs)
  // multiplies into a 0 x 2 output.
  const Matrix x = random_matrix(6, 3, 23);
  model::Workspace ws;
  EXPECT_TRUE(same_bits(model.forward(x, true, ws), Matrix(0, 2)));
  EXPECT_TRUE(model.layers[1].inputs.empty());
  // A model without layers returns its input; a linear one whatever its
  // output type.
  LinearModel bare;
  bare.output_type = "identity";
  EXPECT_EQ(bare.forward(x, false, ws), x);
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
  const Matrix rows(4, 3, {0.2f, 0.5f, 0.5f, nan(), 3.0f, 1.0f, 1.0f, nan(), 2.0f, -inf(), -inf(),
                           -inf()});
  EXPECT_EQ(predict("softmax", rows), (Labels{1, 0, 2, 0}));
  EXPECT_EQ(predict("softmax", Matrix(3, 0)), (Labels{0, 0, 0}));
  EXPECT_TRUE(predict("softmax", Matrix(0, 4)).empty());
}

TEST(model, regularization_loss_weighs_every_term_by_its_coefficient) {
  Layer layer = dense(Matrix(2, 2, {1, -2, 0.5f, 0}), vec({1, -1}));
  CategoricalModel model;
  model.layers = {layer};
  // With every coefficient 0 there is no penalty at all (the weight
  // magnitude, 3.5 here, is not added with an implicit coefficient 1).
  EXPECT_EQ(model.regularization_loss(), 0.0f);
  model.layers[0].weight_regularizer_l1 = 0.5f;
  model.layers[0].weight_regularizer_l2 = 0.1f;
  model.layers[0].bias_regularizer_l1 = 0.25f;
  model.layers[0].bias_regularizer_l2 = 2.0f;
  float expected = 0.0f;
  for (float term : {0.5f * 3.5f, 0.1f * 5.25f, 0.25f * 2.0f, 2.0f * 2.0f}) expected += term;
  EXPECT_EQ(bits(model.regularization_loss()), bits(expected));

  // A second layer adds after the first; NaN and negative coefficients count
  // as not > 0.
  layer.weight_regularizer_l1 = nan();
  layer.weight_regularizer_l2 = -1.0f;
  layer.bias_regularizer_l1 = 3.0f;
  model.layers.push_back(layer);
  EXPECT_EQ(bits(model.regularization_loss()), bits(expected + 3.0f * 2.0f));
  LinearModel linear;
  EXPECT_EQ(linear.regularization_loss(), 0.0f);
  linear.layers = model.layers;
  EXPECT_EQ(bits(linear.regularization_loss()), bits(expected + 3.0f * 2.0f));
}

TEST(report, lines) {
  using namespace report;
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
      {categorical_sample_line(-1, 0, 0.0f), "True: -1, Predicted: 0, Certainty: 0.0%\n"},
      {categorical_summary_line(nan()), "Validation accuracy NaN%\n"},
      {linear_sample_line(1.5f, 1.32f, 1.5f - 1.32f), "True: 1.500, Predicted: 1.320, Error 0.180\n"},
      {linear_summary_line(0.25f, 100.0f), "Validation MSE: 0.250, Accuracy 100.0%\n"},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(line, expected);
}

}  // namespace
}  // namespace kemb::test
