// The writer's exact text: documents of both model kinds, array objects,
// string escapes, and the block hand-over to a sink.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "io/error.hpp"
#include "persistence/writer.hpp"

namespace kemb::persistence {

using io::Error;
using tensor::Matrix;
using tensor::Vector;

namespace {

std::string array_text(const Matrix& m) {
  std::string out;
  TextBuffer buffer(out);
  append_array(buffer, m);
  buffer.finish();
  return out;
}

std::string string_text(std::string_view s) {
  std::string out;
  TextBuffer buffer(out);
  append_string(buffer, s);
  buffer.finish();
  return out;
}

template <typename Model>
std::string document(const Model& model) {
  std::string out;
  write_model(model, out);
  return out;
}

constexpr const char* kEmptyMatrix = "{\"v\":1,\"dim\":[0,0],\"data\":[]}";
constexpr const char* kEmptyVector = "{\"v\":1,\"dim\":[0],\"data\":[]}";

TEST(writer, models_without_layers) {
  CategoricalModel categorical;
  categorical.save_best_params = "m.json";
  EXPECT_EQ(document(categorical),
            "{\"layers\":[],\"output_type\":\"softmax\",\"loss_type\":\"categorical_crossentropy\","
            "\"acc_type\":\"categorical\",\"save_best_params\":\"m.json\"}");
  LinearModel linear;
  linear.save_best_params = "m.json";
  EXPECT_EQ(document(linear),
            "{\"layers\":[],\"output_type\":\"linear\",\"loss_type\":\"mean_squared_error\","
            "\"acc_type\":\"linear\",\"acc_precision\":1.0,\"save_best_params\":\"m.json\"}");
}

TEST(writer, default_layer_has_every_key_in_field_order) {
  CategoricalModel model;
  model.layers.resize(2);
  model.layers[1].layer_type = "dropout";
  model.layers[1].dropout_rate = 0.8f;
  const std::string m = kEmptyMatrix, v = kEmptyVector;
  auto layer = [&](const std::string& type, const std::string& rate) {
    return "{\"layer_type\":\"" + type + "\",\"activation_type\":\"\",\"n_inputs\":0,\"n_neurons\":0," +
           "\"weights\":" + m + ",\"biases\":" + v + ",\"weight_regularizer_l1\":0.0," +
           "\"weight_regularizer_l2\":0.0,\"bias_regularizer_l1\":0.0,\"bias_regularizer_l2\":0.0," +
           "\"inputs\":" + m + ",\"activation_inputs\":" + m + ",\"dweights\":" + m +
           ",\"dbiases\":" + v + ",\"weight_momentums\":" + m + ",\"weight_cache\":" + m +
           ",\"bias_momentums\":" + v + ",\"bias_cache\":" + v + ",\"dropout_rate\":" + rate +
           ",\"binary_mask\":" + m + "}";
  };
  EXPECT_EQ(document(model), "{\"layers\":[" + layer("", "0.0") + "," + layer("dropout", "0.8") +
                                 "],\"output_type\":\"softmax\",\"loss_type\":"
                                 "\"categorical_crossentropy\",\"acc_type\":\"categorical\","
                                 "\"save_best_params\":\"\"}");
}

TEST(writer, array_objects_in_row_major_order) {
  EXPECT_EQ(array_text(Matrix(2, 2, {1.0f, 0.5f, -2.0f, 0.0f})),
            "{\"v\":1,\"dim\":[2,2],\"data\":[1.0,0.5,-2.0,0.0]}");
  EXPECT_EQ(array_text(Matrix(2, 3, {1, 2, 3, 4, 5, 6})),
            "{\"v\":1,\"dim\":[2,3],\"data\":[1.0,2.0,3.0,4.0,5.0,6.0]}");
  EXPECT_EQ(array_text(Matrix(0, 3)), "{\"v\":1,\"dim\":[0,3],\"data\":[]}");
  EXPECT_EQ(array_text(Matrix(1, 4, {-0.0f, std::numeric_limits<float>::quiet_NaN(),
                                     -std::numeric_limits<float>::infinity(), 1e-7f})),
            "{\"v\":1,\"dim\":[1,4],\"data\":[-0.0,null,null,1e-7]}");
  std::string out;
  TextBuffer buffer(out);
  append_array(buffer, Vector({0.9f, 0.999f, 0.001f}));
  buffer.finish();
  EXPECT_EQ(out, "{\"v\":1,\"dim\":[3],\"data\":[0.9,0.999,0.001]}");
}

TEST(writer, inconsistent_matrix_shape_is_refused) {
  Matrix m(2, 2);
  m.rows = 3;  // 3 x 2 claimed, 4 values held
  try {
    array_text(m);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "ndarray: index out of bounds");
  }
}

TEST(writer, string_escapes) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"a\"b\\c\td", "\"a\\\"b\\\\c\\td\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\x00\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
      {"\x7f/\xc3\xa9\xe2\x9c\x93", "\"\x7f/\xc3\xa9\xe2\x9c\x93\""},  // DEL, solidus, é, ✓ as is
      {"", "\"\""},
  };
  for (const auto& c : cases) EXPECT_EQ(string_text(c.in), c.out);
}

// Collects what a sink receives, block by block.
struct RecordingSink final : ByteSink {
  std::vector<std::string> blocks;
  void write(const char* data, std::size_t size) override { blocks.emplace_back(data, size); }
};

TEST(writer, sink_receives_whole_blocks_of_the_same_text) {
  LinearModel model;
  model.layers.resize(1);
  model.layers[0].inputs = Matrix(300, 1000);  // about 1.2 MB of "0.0," text
  for (std::size_t i = 0; i < model.layers[0].inputs.size(); ++i) {
    model.layers[0].inputs.data[i] = static_cast<float>(i) * 0.25f;
  }
  RecordingSink sink;
  TextBuffer buffer(sink);
  write_model(model, buffer);
  buffer.finish();
  std::string joined;
  for (const std::string& block : sink.blocks) joined += block;
  EXPECT_EQ(joined, document(model));
  ASSERT_GE(sink.blocks.size(), 2u);
  for (std::size_t i = 0; i + 1 < sink.blocks.size(); ++i) {
    EXPECT_GT(sink.blocks[i].size(), TextBuffer::kBlockSize - 64);
    EXPECT_LE(sink.blocks[i].size(), TextBuffer::kBlockSize);
  }
}

}  // namespace
}  // namespace kemb::persistence
