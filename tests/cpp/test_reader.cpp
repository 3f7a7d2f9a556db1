// The writer's exact text, the reader (what it accepts, every failure message with its line and
// column, at once or in pieces) and round trips of random models through both.
#include "support.hpp"

namespace kemb::test {
namespace {

std::string located(const std::string& message, int line, int column) {
  return kResultPrefix + "Error(\"" + message + "\", line: " + std::to_string(line) +
         ", column: " + std::to_string(column) + ")";
}

const std::string kEmptyM = R"({"v":1,"dim":[0,0],"data":[]})";
const std::string kEmptyV = R"({"v":1,"dim":[0],"data":[]})";

// A default layer in array form, with `weights` and `rate` (its dropout_rate).
std::string layer_array(const std::string& weights = kEmptyM, const std::string& rate = "0") {
  const std::string m = kEmptyM, v = kEmptyV;
  return R"(["dense","relu",0,0,)" + weights + "," + v + "," + rate + ",0,0,0," + m + "," + m +
         "," + m + "," + v + "," + m + "," + m + "," + v + "," + v + "," + rate + "," + m + "]";
}

// A categorical document over several lines; its one layer's `weights` start on line 2, column 32.
std::string with_weights(const std::string& weights) {
  return "{\n\"layers\": [" + layer_array(weights) +
         "],\n\"output_type\": \"softmax\",\n\"loss_type\": \"l\",\n\"acc_type\": \"a\",\n"
         "\"save_best_params\": \"\"\n}";
}

TEST(reader, accepts_any_key_order_unknown_keys_white_space_and_array_forms) {
  const auto model = read<CategoricalModel>(
      " \r\n\t{ \"save_best_params\" : \"p\\u00e9\\uD83D\\ude00"
      R"(\u20Ac\/\"\\\b\f\n\r\t)"
      "\" ,\n"
      "  \"extra\": {\"deep\": [1, -2.5e3, true, false, null, \"s\", {}]},\n"
      "  \"acc_type\": \"c\", \"loss_type\": \"l\", \"output_type\": \"o\",\n"
      "  \"layers\": [" +
      layer_array() + "]\n}\n\n");
  EXPECT_EQ(model.save_best_params, "p\xc3\xa9\xf0\x9f\x98\x80\xe2\x82\xac/\"\\\b\f\n\r\t");
  EXPECT_EQ(model.output_type + model.loss_type + model.acc_type, "olc");
  ASSERT_EQ(model.layers.size(), 1u);
  EXPECT_EQ(model.layers[0].layer_type + model.layers[0].activation_type, "denserelu");

  const auto linear = read<LinearModel>("[[" + layer_array("[1,[2,1],[0.5,-0]]", "null") +
                                        R"(],"linear","mse","acc",null,"x.json"])");
  EXPECT_TRUE(same_bits(linear.layers[0].weights, Matrix(2, 1, {0.5f, -0.0f})));
  EXPECT_TRUE(std::isnan(linear.acc_precision));  // null reads as NaN where a float is due
  EXPECT_TRUE(std::isnan(linear.layers[0].weight_regularizer_l1));
  EXPECT_TRUE(std::isnan(linear.layers[0].dropout_rate));
  EXPECT_EQ(linear.save_best_params, "x.json");

  // Array object keys in any order, repeated ones overriding.
  EXPECT_EQ(read<CategoricalModel>(
                with_weights(R"({"data":[9],"dim":[1,1],"data":[1,2,3],"dim":[3,1],"v":1})"))
                .layers[0]
                .weights,
            Matrix(3, 1, {1, 2, 3}));
  EXPECT_TRUE(
      std::isnan(read<CategoricalModel>(with_weights(R"({"v":1,"dim":[1,2],"data":[null,1]})"))
                     .layers[0]
                     .weights.data[0]));

  // A linear file reads as categorical, not the reverse; white space may
  // follow the document.
  EXPECT_EQ(read<CategoricalModel>(text_of(LinearModel{}) + "\n\n  \t\r\n").output_type, "linear");
  EXPECT_EQ(message_of([] { read<LinearModel>(text_of(CategoricalModel{})); }),
            located("missing field `acc_precision`", 1, 123));
  EXPECT_EQ(
      message_of([] { read<CategoricalModel>(text_of(CategoricalModel{}) + "\n\n " + "{}"); }),
      located("trailing characters", 3, 2));
}

// Multi-byte characters at each edge of their ranges: the shortest forms,
// the surrogates and code points past U+10FFFF are refused.
TEST(reader, utf8_range_boundaries) {
  const auto read_type = [](const std::string& bytes) {
    return read<CategoricalModel>(R"({"layers":[],"output_type":")" + bytes +
                                  R"(","loss_type":"","acc_type":"","save_best_params":""})")
        .output_type;
  };
  for (const char* ok : {"\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xE1\x80\x80", "\xED\x9F\xBF",
                         "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF1\x80\x80\x80",
                         "\xF3\xBF\xBF\xBF", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_EQ(message_of([&] { EXPECT_EQ(read_type(ok), ok); }), "<no error>") << ok;
  }
  for (const char* bad :
       {"\x80", "\xC1\xBF", "\xC2\x7F", "\xC2\xC0", "\xE0\x9F\xBF", "\xED\xA0\x80",
        "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF1\x80\x80\x7F"}) {
    EXPECT_NE(message_of([&] { read_type(bad); }).find("invalid unicode code point"),
              std::string::npos)
        << bad;
  }
}

struct Failure {
  std::string text;
  std::string message;
  int line;
  int column;
};

// Read at once and in pieces: block boundaries change neither the message nor the position.
void expect_failures(const std::vector<Failure>& cases, bool in_weights) {
  for (const Failure& c : cases) {
    const std::string text = in_weights ? with_weights(c.text) : c.text;
    const std::string expected = located(c.message, c.line, c.column + (in_weights ? 31 : 0));
    EXPECT_EQ(message_of([&] { read<CategoricalModel>(text); }), expected) << c.text.substr(0, 80);
    EXPECT_EQ(message_of([&] { read<CategoricalModel>(text, 5); }), expected) << "in pieces";
  }
}

TEST(reader, model_and_layer_failures) {
  const std::string head = "{\n\"layers\": [],\n\"output_type\": \"softmax\",\n";
  // clang-format off
  expect_failures({
      {"{\n\"output_type\": \"x\"\n}", "missing field `layers`", 3, 1},
      {head + "\"loss_type\": \"l\",\n\"acc_type\": \"a\"\n}", "missing field `save_best_params`", 6, 1},
      {"{\n\"layers\": [],\n\"layers\": []}", "duplicate field `layers`", 3, 9},
      {"[\n[],\n\"softmax\"\n]", "invalid length 2, expected struct CategoricalModel with 5 elements", 4, 1},
      {"[[],\"a\",\"b\",\"c\",\"d\",\n\"e\", 7]", "invalid length 7, expected fewer elements in array", 2, 7},
      {"{\"layers\": [\n[\"dense\"]]}", "invalid length 1, expected struct Layer with 20 elements", 2, 9},
      {"{\"layers\": [\n{\"layer_type\": \"dense\"}]}", "missing field `activation_type`", 2, 23},
      {"{\"layers\":\n{}}", "invalid type: map, expected a sequence", 2, 1},
      {"{\"layers\": [\n\"dense\"]}", "invalid type: string \\\"dense\\\", expected struct Layer", 2, 7},
      {"\n\"model\"", "invalid type: string \\\"model\\\", expected struct CategoricalModel", 2, 7},
      {head + "\"loss_type\": 5", "invalid type: integer `5`, expected a string", 4, 14},
      {head + "\"loss_type\": null", "invalid type: null, expected a string", 4, 17},
      {head + "\"loss_type\": \"l\" \"acc_type\"", "expected `,` or `}`", 4, 18},
      {head + "\"loss_type\" \"l\"", "expected `:`", 4, 13},
      {head + "loss_type: 1", "key must be a string", 4, 1},
      {head + "\"loss_type\": \"l\",\n}", "trailing comma", 5, 1},
      {head + "\"loss_type\": tru }", "expected `true`", 4, 17},
      {head + "\"loss_type\": \"a\tb\"",
       "control character (\\\\u0000-\\\\u001F) found while parsing a string", 4, 16},
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
      {"{\"x\": " + std::string(200, '[') + std::string(200, ']') + "}", "recursion limit exceeded", 1, 134},
  }, false);
  // clang-format on
}

// Array objects, numbers and floats at the weights of the one layer; the
// columns count from the start of the weights.
TEST(reader, array_object_and_number_failures) {
  // clang-format off
  expect_failures({
      {R"({"v":1,"dims":[0,0]})", "unknown field `dims`, expected one of `v`, `dim`, `data`", 2, 14},
      {R"({"v":2,"dim":[0,0],"data":[]})", "unknown array version: 2", 2, 6},
      {R"({"dim":[0,0],"data":[]})", "missing field `v`", 2, 23},
      {R"({"dim":[0,0],"v":1})", "missing field `data`", 2, 19},
      {R"({"data":[],"v":1})", "missing field `dim`", 2, 17},
      {R"({"v":1,"dim":[2,3],"data":[1,2,3,4,5]})", "data and dimension must match in size", 2, 38},
      // 2^32 x 2^32 wraps to 0 in 64 bits; it must not pass as an empty matrix.
      {R"({"v":1,"dim":[4294967296,4294967296],"data":[]})", "data and dimension must match in size", 2, 47},
      // A shape far beyond the text is refused without reserving its memory.
      {R"({"v":1,"dim":[4611686018427387903,4],"data":[1,2]})", "data and dimension must match in size", 2, 50},
      {R"({"v":1,"dim":[1,2,3],"data":[]})", "invalid length 3, expected an array of length 2", 2, 20},
      {R"({"v":1,"dim":[1],"data":[]})", "invalid length 1, expected an array of length 2", 2, 16},
      {R"([1,[0,0]])", "invalid length 2, expected ndarray representation", 2, 9},
      {R"([1,[0,0],[],0])", "invalid length 4, expected fewer elements in array", 2, 14},
      {R"("w")", "invalid type: string \\\"w\\\", expected ndarray representation", 2, 3},
      {R"({"v":1,"dim":[-1,0],"data":[]})", "invalid value: integer `-1`, expected an unsigned integer", 2, 16},
      {R"({"v":1,"dim":[1.0,0],"data":[]})", "invalid type: floating point `1.0`, expected an unsigned integer", 2, 17},
      {R"({"v":1,"dim":[18446744073709551616,0],"data":[]})",
       "invalid value: integer `18446744073709551616`, expected an unsigned integer below 2^64", 2, 34},
      {R"({"v":1,"dim":[1,1],"data":["abc"]})", "invalid type: string \\\"abc\\\", expected a float", 2, 32},
      {R"({"v":1,"dim":[1,1],"data":[true]})", "invalid type: boolean `true`, expected a float", 2, 31},
      {R"({"v":1,"dim":[1,1],"data":{}})", "invalid type: map, expected a sequence of floats", 2, 27},
      {R"({"v":1,"dim":[1,1],"data":[01]})", "invalid number", 2, 29},
      {R"({"v":1,"dim":[1,1],"data":[-]})", "invalid number", 2, 28},
      {R"({"v":1,"dim":[1,1],"data":[1.]})", "invalid number", 2, 29},
      {R"({"v":1,"dim":[1,1],"data":[1e+]})", "invalid number", 2, 30},
      {R"({"v":1,"dim":[1,1],"data":[1 2]})", "expected `,` or `]`", 2, 30},
      {R"({"v":1,"dim":[1,1],"data":[1,]})", "trailing comma", 2, 30},
      {R"({"v":1,"dim":[1,1],"data":[+1]})", "expected value", 2, 28},
  }, true);
  // clang-format on
}

// Tokens far longer than a writer makes (a hostile file's): messages quote
// their first 256 bytes, whole characters only, and name their size. Read
// in pieces, long numbers stream through their own path.
TEST(reader, long_tokens_are_quoted_in_part) {
  const int n = 100000;
  const std::string digits(n, '7');
  std::string accented = "a";  // 1 + 2n bytes: the cut falls inside a character
  for (int i = 0; i < n; ++i) accented += "\xc3\xa9";
  // clang-format off
  expect_failures({
      {R"({"v":1,"dim":[)" + digits + "]", "invalid value: integer `" + digits.substr(0, 256) +
           "` [cut: 100000 bytes], expected an unsigned integer below 2^64", 2, 14 + n},
      {R"({"v":1,")" + accented + "\":0}", "unknown field `" + accented.substr(0, 255) +
           "` [cut: 200001 bytes], expected one of `v`, `dim`, `data`", 2, 11 + 2 * n},
      {R"({"v":1,"dim":[1,1],"data":[)" + digits + "e]}", "invalid number", 2, 28 + n},
  }, true);
  // clang-format on
}

// Long numbers read as std::from_chars reads the whole token, at once and in pieces.
TEST(reader, long_numbers_read_as_the_whole_token) {
  const std::string zeros(5000, '0');
  const std::vector<std::pair<std::string, float>> cases = {
      {"1" + zeros, inf()},
      {"-1" + zeros + "e-5000", -1.0f},
      {"0." + zeros + "25e5001", 2.5f},
      {"1." + zeros + "1", 1.0f},
      {"-0." + zeros, -0.0f},
      {"1e" + zeros + "7", 1e7f},
      {"2E-" + zeros + "9", static_cast<float>(2e-9)},
      {"0." + zeros + "1", 0.0f},
      {"-1e" + zeros + "999", -inf()},
      {"3." + zeros + zeros + "1e38", static_cast<float>(3e38)},
  };
  std::string data;
  Matrix expected(1, cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    data += (i ? "," : "") + cases[i].first;
    expected.data[i] = cases[i].second;
  }
  const std::string text = with_weights(R"({"v":1,"dim":[1,10],"data":[)" + data + "]}");
  EXPECT_TRUE(same_bits(read<CategoricalModel>(text).layers[0].weights, expected));
  EXPECT_TRUE(same_bits(read<CategoricalModel>(text, 9).layers[0].weights, expected));
}

TEST(robustness, deep_nesting_is_refused_without_recursion) {
  std::string objects = "{\"x\":";
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  for (const std::string& deep : {"{\"x\":" + std::string(1'000'000, '['), objects}) {
    EXPECT_NE(message_of([&] { read<LinearModel>(deep); }).find("recursion limit exceeded"),
              std::string::npos);
  }
}

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
  const std::string m = kEmptyM, v = kEmptyV;
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
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {text_of_value(Matrix(2, 3, {1, 0.5f, -2, 0, 5, 6})),
       R"({"v":1,"dim":[2,3],"data":[1.0,0.5,-2.0,0.0,5.0,6.0]})"},
      {text_of_value(Matrix(0, 3)), R"({"v":1,"dim":[0,3],"data":[]})"},
      {text_of_value(Matrix(1, 4, {-0.0f, nan(), -inf(), 1e-7f})),
       R"({"v":1,"dim":[1,4],"data":[-0.0,null,null,1e-7]})"},
      {text_of_value(vec({0.9f, 0.001f})), R"({"v":1,"dim":[2],"data":[0.9,0.001]})"},
      {text_of_value(std::string("a\"b\\c\td")), R"("a\"b\\c\td")"},
      {text_of_value(std::string("\b\f\n\r\t")), R"("\b\f\n\r\t")"},
      {text_of_value(std::string("\x00\x01\x1f", 3)), R"("\u0000\u0001\u001f")"},
      // DEL, solidus, e acute and a check mark as they are.
      {text_of_value(std::string("\x7f/\xc3\xa9\xe2\x9c\x93")), "\"\x7f/\xc3\xa9\xe2\x9c\x93\""},
      {text_of_value(std::string()), "\"\""},
  };
  // clang-format on
  for (const auto& [text, expected] : cases) EXPECT_EQ(text, expected);
  Matrix inconsistent(2, 2);
  inconsistent.rows = 3;  // 3 x 2 claimed, 4 values held
  EXPECT_EQ(message_of([&] { text_of_value(inconsistent); }), kIndexError);
}

// Random models read back field for field (at once and in pieces) and rewrite the same bytes.
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
