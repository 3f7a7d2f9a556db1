// Round trips of random models through the writer and reader, and the
// robustness loop: truncated, bit-flipped, spliced and random inputs must
// each give a model or a kemb::Error, and the same outcome whether the
// reader sees the text at once or in small pieces from a byte source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "io/error.hpp"
#include "persistence/reader.hpp"
#include "persistence/writer.hpp"
#include "persistence_support.hpp"

namespace kemb::persistence {

using io::Error;
using tensor::Matrix;

namespace {

using testing::random_model;
using testing::same_model;
using testing::TrickleSource;

template <typename Model>
std::string text_of(const Model& model) {
  std::string text;
  write_model(model, text);
  return text;
}

template <typename Model>
Model read_as(std::string_view text) {
  if constexpr (std::is_same_v<Model, LinearModel>) return read_linear_model(text);
  else return read_categorical_model(text);
}

template <typename Model>
Model read_trickled(std::string_view text, unsigned seed) {
  TrickleSource source(text, seed);
  if constexpr (std::is_same_v<Model, LinearModel>) return read_linear_model(source);
  else return read_categorical_model(source);
}

template <typename Model>
void check_round_trips(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 300; ++i) {
    const Model model = random_model<Model>(rng);
    const std::string text = text_of(model);
    const Model back = read_as<Model>(text);
    ASSERT_TRUE(same_model(model, back)) << text;
    ASSERT_TRUE(same_model(model, read_trickled<Model>(text, static_cast<unsigned>(i)))) << text;
    ASSERT_EQ(text_of(back), text);  // a second pass writes the same bytes
  }
}

TEST(round_trip, linear_models) { check_round_trips<LinearModel>(1); }
TEST(round_trip, categorical_models) { check_round_trips<CategoricalModel>(2); }

TEST(round_trip, equal_records_without_nan_compare_equal) {
  LinearModel model;
  model.layers.resize(1);
  model.layers[0].weights = Matrix(2, 2, {1.0f, -0.0f, 1e-45f, 3.4028235e38f});
  model.acc_precision = 0.1f;
  EXPECT_EQ(read_linear_model(text_of(model)), model);
}

// Outcome of one read: "ok" or the error message; anything else thrown
// fails the test.
template <typename Model>
std::string outcome(std::string_view text, unsigned seed, bool trickle) {
  try {
    if (trickle) read_trickled<Model>(text, seed);
    else read_as<Model>(text);
    return "ok";
  } catch (const Error& e) {
    return e.what();
  }
}

std::string mutate(const std::string& text, const std::string& other, std::mt19937_64& rng) {
  std::string out = text;
  const std::size_t at = out.empty() ? 0 : rng() % out.size();
  switch (rng() % 6) {
    case 0: out.resize(at); break;  // truncated
    case 1:
      if (!out.empty()) out[at] = static_cast<char>(out[at] ^ (1 << (rng() % 8)));  // bit flip
      break;
    case 2:
      out = out.substr(0, at) + other.substr(other.empty() ? 0 : rng() % other.size());  // splice
      break;
    case 3: {  // a structural byte inserted
      static constexpr char kBytes[] = "{}[],:\"\\-0123456789.eEnull \n";
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), kBytes[rng() % (sizeof kBytes - 1)]);
      break;
    }
    case 4: out.erase(at, rng() % 8); break;
    default: {  // random bytes
      out.resize(rng() % 64);
      for (char& c : out) c = static_cast<char>(rng());
    }
  }
  return out;
}

template <typename Model>
void check_mutations(std::uint64_t seed, int iterations) {
  std::mt19937_64 rng(seed);
  int accepted = 0;
  for (int i = 0; i < iterations; ++i) {
    const std::string text = text_of(random_model<Model>(rng));
    const std::string other = text_of(random_model<Model>(rng));
    std::string input = mutate(text, other, rng);
    if (rng() % 2) input = mutate(input, other, rng);
    const std::string whole = outcome<Model>(input, 0, false);
    const std::string pieces = outcome<Model>(input, static_cast<unsigned>(i), true);
    ASSERT_EQ(whole, pieces) << input;
    ASSERT_TRUE(whole == "ok" || whole.starts_with("called `Result::unwrap()` on an `Err` value: Error(\""))
        << whole;
    accepted += whole == "ok";
  }
  // Some mutations (inside a float's digits, say) keep the document valid.
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, iterations);
}

TEST(robustness, mutated_linear_files) { check_mutations<LinearModel>(3, 3000); }
TEST(robustness, mutated_categorical_files) { check_mutations<CategoricalModel>(4, 3000); }

TEST(robustness, deep_nesting_is_refused_without_recursion) {
  const std::string deep = "{\"x\":" + std::string(1'000'000, '[');
  EXPECT_NE(outcome<LinearModel>(deep, 0, false).find("recursion limit exceeded"), std::string::npos);
  const std::string objects = [] {
    std::string s = "{\"x\":";
    for (int i = 0; i < 100000; ++i) s += "{\"a\":";
    return s;
  }();
  EXPECT_NE(outcome<LinearModel>(objects, 0, false).find("recursion limit exceeded"),
            std::string::npos);
}

TEST(robustness, shapes_larger_than_the_text_are_not_allocated) {
  // Element counts near the address space limit, with hardly any data: the
  // reader must refuse them without trying to reserve the memory.
  const std::string text =
      R"({"layers":[],"output_type":"","loss_type":"","acc_type":"","save_best_params":"",)"
      R"("x":0})";
  EXPECT_EQ(outcome<CategoricalModel>(text, 0, false), "ok");
  const std::string huge = R"([[["","",0,0,{"v":1,"dim":[4611686018427387903,4],"data":[1,2]})";
  EXPECT_NE(outcome<CategoricalModel>(huge, 0, false).find("data and dimension must match in size"),
            std::string::npos);
  EXPECT_NE(outcome<CategoricalModel>(huge, 0, true).find("data and dimension must match in size"),
            std::string::npos);
}

}  // namespace
}  // namespace kemb::persistence
