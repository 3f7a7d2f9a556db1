// The reader: what it accepts (key order, unknown keys, array forms, white
// space, null as NaN) and every failure message with its line and column.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "io/error.hpp"
#include "persistence/reader.hpp"
#include "persistence/writer.hpp"
#include "persistence_support.hpp"

namespace kemb::persistence {

using io::Error;
using tensor::Matrix;

namespace {

const std::string kPrefix = "called `Result::unwrap()` on an `Err` value: ";

std::string categorical_error(const std::string& text) {
  try {
    read_categorical_model(text);
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

std::string linear_error(const std::string& text) {
  try {
    read_linear_model(text);
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

// The message of a categorical read in pieces of 1 to 7 bytes.
std::string trickled_error(const std::string& text) {
  try {
    testing::TrickleSource source(text, 5);
    read_categorical_model(source);
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

std::string located(const std::string& message, int line, int column) {
  return kPrefix + "Error(\"" + message + "\", line: " + std::to_string(line) +
         ", column: " + std::to_string(column) + ")";
}

const std::string kEmptyM = R"({"v":1,"dim":[0,0],"data":[]})";
const std::string kEmptyV = R"({"v":1,"dim":[0],"data":[]})";

// A default layer in array form, with `weights` replaced by `weights`.
std::string layer_array(const std::string& weights = kEmptyM) {
  const std::string m = kEmptyM, v = kEmptyV;
  return R"(["dense","relu",0,0,)" + weights + "," + v + ",0,0,0,0," + m + "," + m + "," + m + "," +
         v + "," + m + "," + m + "," + v + "," + v + ",0," + m + "]";
}

// A categorical document over several lines whose only layer has `weights`.
std::string with_weights(const std::string& weights) {
  return "{\n\"layers\": [" + layer_array(weights) +
         "],\n\"output_type\": \"softmax\",\n\"loss_type\": \"l\",\n\"acc_type\": \"a\",\n"
         "\"save_best_params\": \"\"\n}";
}

TEST(reader, accepts_any_key_order_unknown_keys_and_white_space) {
  const std::string text =
      " \r\n\t{ \"save_best_params\" : \"p\\u00e9\\ud83d\\ude00\" ,\n"
      "  \"extra\": {\"deep\": [1, -2.5e3, true, false, null, \"s\", {}]},\n"
      "  \"acc_type\": \"c\", \"loss_type\": \"l\", \"output_type\": \"o\",\n"
      "  \"layers\": [" + layer_array() + "]\n}\n\n";
  const CategoricalModel model = read_categorical_model(text);
  EXPECT_EQ(model.save_best_params, "p\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(model.output_type, "o");
  EXPECT_EQ(model.loss_type, "l");
  EXPECT_EQ(model.acc_type, "c");
  ASSERT_EQ(model.layers.size(), 1u);
  EXPECT_EQ(model.layers[0].layer_type, "dense");
  EXPECT_EQ(model.layers[0].activation_type, "relu");
}

TEST(reader, array_forms_of_model_layer_and_array_object) {
  const LinearModel model = read_linear_model(
      "[[" + layer_array("[1,[2,1],[0.5,-0]]") + R"(],"linear","mse","acc",0.25,"x.json"])");
  ASSERT_EQ(model.layers.size(), 1u);
  const Matrix& w = model.layers[0].weights;
  EXPECT_EQ(w.rows, 2u);
  EXPECT_EQ(w.cols, 1u);
  EXPECT_EQ(w.data[0], 0.5f);
  EXPECT_TRUE(std::signbit(w.data[1]));
  EXPECT_EQ(model.acc_precision, 0.25f);
  EXPECT_EQ(model.save_best_params, "x.json");
}

TEST(reader, array_object_keys_in_any_order_and_repeated) {
  const CategoricalModel model = read_categorical_model(
      with_weights(R"({"data":[9],"dim":[1,1],"data":[1,2,3],"dim":[3,1],"v":1})"));
  EXPECT_EQ(model.layers[0].weights, Matrix(3, 1, {1, 2, 3}));
}

TEST(reader, linear_file_reads_as_categorical_not_the_reverse) {
  LinearModel linear;
  linear.acc_precision = 0.5f;
  std::string text;
  write_model(linear, text);
  EXPECT_EQ(read_categorical_model(text).output_type, "linear");
  std::string categorical_text;
  write_model(CategoricalModel{}, categorical_text);
  EXPECT_EQ(linear_error(categorical_text), located("missing field `acc_precision`", 1, 123));
}

TEST(reader, null_reads_as_nan_where_a_float_is_expected) {
  const LinearModel model = read_linear_model(
      R"({"layers":[["","",0,0,{"v":1,"dim":[1,2],"data":[null,1]},)" + kEmptyV +
      R"(,null,0,0,0,)" + kEmptyM + "," + kEmptyM + "," + kEmptyM + "," + kEmptyV + "," + kEmptyM +
      "," + kEmptyM + "," + kEmptyV + "," + kEmptyV + ",null," + kEmptyM +
      R"(]],"output_type":"","loss_type":"","acc_type":"","acc_precision":null,"save_best_params":""})");
  EXPECT_TRUE(std::isnan(model.acc_precision));
  EXPECT_TRUE(std::isnan(model.layers[0].weights.data[0]));
  EXPECT_EQ(model.layers[0].weights.data[1], 1.0f);
  EXPECT_TRUE(std::isnan(model.layers[0].weight_regularizer_l1));
  EXPECT_TRUE(std::isnan(model.layers[0].dropout_rate));
}

struct Failure {
  std::string text;
  std::string message;
  int line;
  int column;
};

// Categorical documents: structure of model and layer objects.
TEST(reader, model_and_layer_failures) {
  const std::string head = "{\n\"layers\": [],\n\"output_type\": \"softmax\",\n";
  const Failure cases[] = {
      {"{\n\"output_type\": \"x\"\n}", "missing field `layers`", 3, 1},
      {head + "\"loss_type\": \"l\",\n\"acc_type\": \"a\"\n}", "missing field `save_best_params`", 6,
       1},
      {"{\n\"layers\": [],\n\"layers\": []}", "duplicate field `layers`", 3, 9},
      {"[\n[],\n\"softmax\"\n]", "invalid length 2, expected struct CategoricalModel with 5 elements",
       4, 1},
      {"[[],\"a\",\"b\",\"c\",\"d\",\n\"e\", 7]",
       "invalid length 7, expected fewer elements in array", 2, 7},
      {"{\"layers\": [\n[\"dense\"]]}", "invalid length 1, expected struct Layer with 20 elements", 2,
       9},
      {"{\"layers\": [\n{\"layer_type\": \"dense\"}]}", "missing field `activation_type`", 2, 23},
      {"{\"layers\":\n{}}", "invalid type: map, expected a sequence", 2, 1},
      {"{\"layers\": [\n\"dense\"]}", "invalid type: string \\\"dense\\\", expected struct Layer", 2,
       7},
      {"\n\"model\"", "invalid type: string \\\"model\\\", expected struct CategoricalModel", 2, 7},
      {head + "\"loss_type\": 5", "invalid type: integer `5`, expected a string", 4, 14},
      {head + "\"loss_type\": null", "invalid type: null, expected a string", 4, 17},
      {head + "\"loss_type\": \"l\" \"acc_type\"", "expected `,` or `}`", 4, 18},
      {head + "\"loss_type\" \"l\"", "expected `:`", 4, 13},
      {head + "loss_type: 1", "key must be a string", 4, 1},
      {head + "\"loss_type\": \"l\",\n}", "trailing comma", 5, 1},
      {head + "\"loss_type\": tru }", "expected `true`", 4, 17},
      {head + "\"loss_type\": \"a\tb\"", "control character (\\\\u0000-\\\\u001F) found while parsing "
       "a string", 4, 16},
      {head + "\"loss_type\": \"a\\qb\"", "invalid escape", 4, 17},
      {head + "\"loss_type\": \"\\ud800x\"", "lone leading surrogate in hex escape", 4, 21},
      {head + "\"loss_type\": \"\\udc00\"", "lone trailing surrogate in hex escape", 4, 20},
      {head + "\"loss_type\": \"\xff\"", "invalid unicode code point", 4, 15},
      {head + "\"loss_type\": \"\xc3(\"", "invalid unicode code point", 4, 15},
      {"", "EOF while parsing a value", 1, 0},
      {"{\"layers\": [\n", "EOF while parsing a list", 2, 0},
      {"{\"layers\"", "EOF while parsing an object", 1, 9},
      {"{\"lay", "EOF while parsing a string", 1, 5},
      {head + "\"x\": [[[1]]]}}", "missing field `loss_type`", 4, 13},
      {"{\"x\": " + std::string(200, '[') + std::string(200, ']') + "}", "recursion limit exceeded",
       1, 134},
  };
  for (const Failure& c : cases) {
    EXPECT_EQ(categorical_error(c.text), located(c.message, c.line, c.column)) << c.text;
  }
}

// Array objects, numbers and floats, at the `weights` of the one layer;
// with_weights puts them on line 2 after `"layers": [["dense","relu",0,0,`.
TEST(reader, array_object_and_number_failures) {
  const int base = 31;  // columns before the weights value
  const Failure cases[] = {
      {R"({"v":1,"dims":[0,0]})", "unknown field `dims`, expected one of `v`, `dim`, `data`", 2,
       base + 14},
      {R"({"v":2,"dim":[0,0],"data":[]})", "unknown array version: 2", 2, base + 6},
      {R"({"dim":[0,0],"data":[]})", "missing field `v`", 2, base + 23},
      {R"({"dim":[0,0],"v":1})", "missing field `data`", 2, base + 19},
      {R"({"data":[],"v":1})", "missing field `dim`", 2, base + 17},
      {R"({"v":1,"dim":[2,3],"data":[1,2,3,4,5]})", "data and dimension must match in size", 2,
       base + 38},
      // 2^32 x 2^32 wraps to 0 in 64 bits; it must not pass as an empty matrix.
      {R"({"v":1,"dim":[4294967296,4294967296],"data":[]})",
       "data and dimension must match in size", 2, base + 47},
      {R"({"v":1,"dim":[1,2,3],"data":[]})", "invalid length 3, expected an array of length 2", 2,
       base + 20},
      {R"({"v":1,"dim":[1],"data":[]})", "invalid length 1, expected an array of length 2", 2,
       base + 16},
      {R"([1,[0,0]])", "invalid length 2, expected ndarray representation", 2, base + 9},
      {R"([1,[0,0],[],0])", "invalid length 4, expected fewer elements in array", 2, base + 14},
      {R"("w")", "invalid type: string \\\"w\\\", expected ndarray representation", 2, base + 3},
      {R"({"v":1,"dim":[-1,0],"data":[]})", "invalid value: integer `-1`, expected an unsigned integer",
       2, base + 16},
      {R"({"v":1,"dim":[1.0,0],"data":[]})",
       "invalid type: floating point `1.0`, expected an unsigned integer", 2, base + 17},
      {R"({"v":1,"dim":[18446744073709551616,0],"data":[]})",
       "invalid value: integer `18446744073709551616`, expected an unsigned integer below 2^64", 2,
       base + 34},
      {R"({"v":1,"dim":[1,1],"data":["abc"]})",
       "invalid type: string \\\"abc\\\", expected a float", 2, base + 32},
      {R"({"v":1,"dim":[1,1],"data":[true]})", "invalid type: boolean `true`, expected a float", 2,
       base + 31},
      {R"({"v":1,"dim":[1,1],"data":{}})", "invalid type: map, expected a sequence of floats", 2,
       base + 27},
      {R"({"v":1,"dim":[1,1],"data":[01]})", "invalid number", 2, base + 29},
      {R"({"v":1,"dim":[1,1],"data":[-]})", "invalid number", 2, base + 28},
      {R"({"v":1,"dim":[1,1],"data":[1.]})", "invalid number", 2, base + 29},
      {R"({"v":1,"dim":[1,1],"data":[1e+]})", "invalid number", 2, base + 30},
      {R"({"v":1,"dim":[1,1],"data":[1 2]})", "expected `,` or `]`", 2, base + 30},
      {R"({"v":1,"dim":[1,1],"data":[1,]})", "trailing comma", 2, base + 30},
      {R"({"v":1,"dim":[1,1],"data":[+1]})", "expected value", 2, base + 28},
  };
  for (const Failure& c : cases) {
    EXPECT_EQ(categorical_error(with_weights(c.text)), located(c.message, c.line, c.column))
        << c.text;
  }
}

// Tokens far longer than a writer makes (a hostile file's): messages quote
// their first 256 bytes, whole characters only, and name their size. Read
// in pieces, long numbers stream through their own path; the outcome must
// not change.
TEST(reader, long_tokens_are_quoted_in_part) {
  const int n = 100000;
  const std::string digits(n, '7');
  const std::string word(n, 'a');
  std::string accented = "a";  // 1 + 2n bytes: the cut falls inside a character
  for (int i = 0; i < n; ++i) accented += "\xc3\xa9";
  const int base = 31;
  const Failure cases[] = {
      {R"({"v":1,"dim":[)" + digits + "]",
       "invalid value: integer `" + digits.substr(0, 256) +
           "` [cut: 100000 bytes], expected an unsigned integer below 2^64",
       2, base + 14 + n},
      {R"({"v":1,"dim":[-)" + digits + "]",
       "invalid value: integer `-" + digits.substr(0, 255) +
           "` [cut: 100001 bytes], expected an unsigned integer",
       2, base + 15 + n},
      {R"({"v":1,"dim":[)" + digits + ".5]",
       "invalid type: floating point `" + digits.substr(0, 256) +
           "` [cut: 100002 bytes], expected an unsigned integer",
       2, base + 16 + n},
      {R"({"v":1,"dim":[1,1],"data":[")" + word + "\"]}",
       "invalid type: string \\\"" + word.substr(0, 256) +
           "\\\" [cut: 100000 bytes], expected a float",
       2, base + 29 + n},
      {R"({"v":1,")" + accented + "\":0}",
       "unknown field `" + accented.substr(0, 255) +
           "` [cut: 200001 bytes], expected one of `v`, `dim`, `data`",
       2, base + 10 + 2 * n + 1},
      {R"({"v":1,"dim":[1,1],"data":[)" + digits + ".]}", "invalid number", 2, base + 28 + n},
  };
  for (const Failure& c : cases) {
    const std::string text = with_weights(c.text);
    EXPECT_EQ(categorical_error(text), located(c.message, c.line, c.column)) << c.message;
    EXPECT_EQ(trickled_error(text), located(c.message, c.line, c.column)) << c.message;
  }
}

// Long numbers read as the whole token, as std::from_chars on the whole
// text (the read from memory) gives them.
TEST(reader, long_numbers_read_as_the_whole_token) {
  const std::string zeros(5000, '0');
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::pair<std::string, float>> cases = {
      {"1" + zeros, inf},
      {"-1" + zeros + "e-5000", -1.0f},
      {"0." + zeros + "25e5001", 2.5f},
      {"1." + zeros + "1", 1.0f},
      {"-0." + zeros, -0.0f},
      {"1e" + zeros + "7", 1e7f},
      {"2E-" + zeros + "9", static_cast<float>(2e-9)},
      {"0." + zeros + "1", 0.0f},
      {"-1e" + zeros + "999", -inf},
      {"3." + zeros + zeros + "1e38", static_cast<float>(3e38)},
  };
  std::string data;
  for (const auto& c : cases) data += (data.empty() ? "" : ",") + c.first;
  const std::string text = with_weights(R"({"v":1,"dim":[1,)" + std::to_string(cases.size()) +
                                        R"(],"data":[)" + data + "]}");
  testing::TrickleSource source(text, 9);
  const Matrix whole = read_categorical_model(text).layers[0].weights;
  const Matrix pieces = read_categorical_model(source).layers[0].weights;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(whole.data[i]), std::bit_cast<std::uint32_t>(cases[i].second)) << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(pieces.data[i]), std::bit_cast<std::uint32_t>(cases[i].second)) << i;
  }
}

TEST(reader, trailing_characters_after_the_document) {
  std::string text;
  write_model(CategoricalModel{}, text);
  EXPECT_NO_THROW(read_categorical_model(text + "\n\n  \t\r\n"));
  EXPECT_EQ(categorical_error(text + "\n\n " + text), located("trailing characters", 3, 2));
}

}  // namespace
}  // namespace kemb::persistence
