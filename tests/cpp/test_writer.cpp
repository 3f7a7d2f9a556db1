// The writer's exact text and round trips of random models through the
// writer and the reader, at once and in pieces.
#include "support.hpp"

namespace kemb::test {
namespace {

using persistence::TextBuffer;

template <typename Value>
std::string text_of_value(const Value& value) {
  std::string out;
  TextBuffer buffer(out);
  if constexpr (std::is_same_v<Value, std::string>) {
    persistence::append_string(buffer, value);
  } else {
    persistence::append_array(buffer, value);
  }
  buffer.finish();
  return out;
}

TEST(writer, documents_have_every_key_in_field_order) {
  const std::string m = R"({"v":1,"dim":[0,0],"data":[]})", v = R"({"v":1,"dim":[0],"data":[]})";
  const auto layer = [&](const std::string& type, const std::string& rate) {
    return R"({"layer_type":")" + type + R"(","activation_type":"","n_inputs":0,"n_neurons":0,)" +
           R"("weights":)" + m + R"(,"biases":)" + v + R"(,"weight_regularizer_l1":0.0,)" +
           R"("weight_regularizer_l2":0.0,"bias_regularizer_l1":0.0,"bias_regularizer_l2":0.0,)" +
           R"("inputs":)" + m + R"(,"activation_inputs":)" + m + R"(,"dweights":)" + m +
           R"(,"dbiases":)" + v + R"(,"weight_momentums":)" + m + R"(,"weight_cache":)" + m +
           R"(,"bias_momentums":)" + v + R"(,"bias_cache":)" + v + R"(,"dropout_rate":)" + rate +
           R"(,"binary_mask":)" + m + "}";
  };
  CategoricalModel categorical;
  categorical.layers.resize(2);
  categorical.layers[1].layer_type = "dropout";
  categorical.layers[1].dropout_rate = 0.8f;
  categorical.save_best_params = "m.json";
  EXPECT_EQ(text_of(categorical), R"({"layers":[)" + layer("", "0.0") + "," +
                                      layer("dropout", "0.8") +
                                      R"(],"output_type":"softmax","loss_type":)"
                                      R"("categorical_crossentropy","acc_type":"categorical",)"
                                      R"("save_best_params":"m.json"})");
  LinearModel linear;
  linear.save_best_params = "m.json";
  EXPECT_EQ(text_of(linear), R"({"layers":[],"output_type":"linear","loss_type":)"
                             R"("mean_squared_error","acc_type":"linear","acc_precision":1.0,)"
                             R"("save_best_params":"m.json"})");
}

TEST(writer, arrays_in_row_major_order_and_string_escapes) {
  const std::pair<std::string, std::string> cases[] = {
      {text_of_value(Matrix(2, 3, {1, 0.5f, -2, 0, 5, 6})),
       R"({"v":1,"dim":[2,3],"data":[1.0,0.5,-2.0,0.0,5.0,6.0]})"},
      {text_of_value(Matrix(0, 3)), R"({"v":1,"dim":[0,3],"data":[]})"},
      {text_of_value(Matrix(1, 4, {-0.0f, nan(), -inf(), 1e-7f})),
       R"({"v":1,"dim":[1,4],"data":[-0.0,null,null,1e-7]})"},
      {text_of_value(vec({0.9f, 0.999f, 0.001f})), R"({"v":1,"dim":[3],"data":[0.9,0.999,0.001]})"},
      {text_of_value(std::string("a\"b\\c\td")), R"("a\"b\\c\td")"},
      {text_of_value(std::string("\b\f\n\r\t")), R"("\b\f\n\r\t")"},
      {text_of_value(std::string("\x00\x01\x1f", 3)), R"("\u0000\u0001\u001f")"},
      // DEL, solidus, e acute and a check mark as they are.
      {text_of_value(std::string("\x7f/\xc3\xa9\xe2\x9c\x93")), "\"\x7f/\xc3\xa9\xe2\x9c\x93\""},
      {text_of_value(std::string()), "\"\""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(text, expected);
  Matrix inconsistent(2, 2);
  inconsistent.rows = 3;  // 3 x 2 claimed, 4 values held
  EXPECT_EQ(message_of([&] { text_of_value(inconsistent); }), kIndexError);
}

// Random models read back field for field, at once and in pieces, and a
// second pass writes the same bytes.
template <typename Model>
void check_round_trips(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 300; ++i) {
    const Model model = ref::random_record<Model>(rng);
    const std::string text = text_of(model);
    const Model back = read<Model>(text);
    ASSERT_TRUE(ref::same_record(model, back)) << text;
    ASSERT_TRUE(ref::same_record(model, read<Model>(text, i))) << text;
    ASSERT_EQ(text_of(back), text);
  }
}

TEST(round_trip, random_models) {
  check_round_trips<LinearModel>(1);
  check_round_trips<CategoricalModel>(2);
}

}  // namespace
}  // namespace kemb::test
