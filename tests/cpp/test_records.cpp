// Record defaults and value semantics of Matrix, Vector, Layer and the two
// models.
#include <gtest/gtest.h>

#include "dyn_layer.hpp"
#include "model/categorical.hpp"
#include "model/linear.hpp"

namespace kemb {

using io::Error;
using tensor::Matrix;
using tensor::Vector;

namespace {

TEST(records, default_layer_is_empty) {
  const Layer layer;
  EXPECT_EQ(layer.layer_type, "");
  EXPECT_EQ(layer.activation_type, "");
  EXPECT_EQ(layer.n_inputs, 0u);
  EXPECT_EQ(layer.n_neurons, 0u);
  for (const Matrix* m : {&layer.weights, &layer.inputs, &layer.activation_inputs, &layer.dweights,
                          &layer.weight_momentums, &layer.weight_cache, &layer.binary_mask}) {
    EXPECT_TRUE(m->empty());
    EXPECT_EQ(m->rows, 0u);
    EXPECT_EQ(m->cols, 0u);
  }
  for (const Vector* v : {&layer.biases, &layer.dbiases, &layer.bias_momentums, &layer.bias_cache}) {
    EXPECT_TRUE(v->empty());
  }
  for (float f : {layer.weight_regularizer_l1, layer.weight_regularizer_l2, layer.bias_regularizer_l1,
                  layer.bias_regularizer_l2, layer.dropout_rate}) {
    EXPECT_EQ(f, 0.0f);
  }
}

TEST(records, model_defaults) {
  const LinearModel linear;
  EXPECT_TRUE(linear.layers.empty());
  EXPECT_EQ(linear.output_type, "linear");
  EXPECT_EQ(linear.loss_type, "mean_squared_error");
  EXPECT_EQ(linear.acc_type, "linear");
  EXPECT_EQ(linear.acc_precision, 1.0f);
  EXPECT_EQ(linear.save_best_params, "");

  const CategoricalModel categorical;
  EXPECT_TRUE(categorical.layers.empty());
  EXPECT_EQ(categorical.output_type, "softmax");
  EXPECT_EQ(categorical.loss_type, "categorical_crossentropy");
  EXPECT_EQ(categorical.acc_type, "categorical");
  EXPECT_EQ(categorical.save_best_params, "");
}

TEST(records, copying_a_model_copies_every_layer) {
  LinearModel original;
  for (int i = 0; i < 2; ++i) {
    Layer layer;
    layer.layer_type = "dense";
    layer.n_inputs = 2;
    layer.n_neurons = 3;
    layer.init();
    original.layers.push_back(layer);
  }
  LinearModel copy = original;
  ASSERT_EQ(copy, original);
  copy.layers[1].weights(1, 2) += 1.0f;
  copy.layers[0].layer_type = "dropout";
  EXPECT_NE(copy, original);
  EXPECT_EQ(original.layers[0].layer_type, "dense");
  EXPECT_NE(original.layers[1].weights(1, 2), copy.layers[1].weights(1, 2));
}

TEST(matrix, shapes_and_checked_access) {
  Matrix m(2, 3);
  EXPECT_FALSE(m.empty());
  EXPECT_EQ(m.size(), 6u);
  m.at(1, 2) = 5.0f;
  EXPECT_EQ(m(1, 2), 5.0f);
  EXPECT_EQ(m.row(1)[2], 5.0f);
  EXPECT_THROW(m.at(2, 0), Error);
  EXPECT_THROW(m.at(0, 3), Error);

  // 0 x 3 and 3 x 0 are not the empty (not yet computed) matrix.
  EXPECT_FALSE(Matrix(0, 3).empty());
  EXPECT_FALSE(Matrix(3, 0).empty());
  EXPECT_TRUE(Matrix(0, 0).empty());

  Vector v(2);
  EXPECT_EQ(v.at(1), 0.0f);
  EXPECT_THROW(v.at(2), Error);
}

}  // namespace
}  // namespace kemb
