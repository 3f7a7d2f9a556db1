// Seed corpus of the reader fuzz target: documents written by the library's
// own writer (models trained for a few epochs, so their caches and optimizer
// state are filled, and random models that use every corner of the format),
// each also pretty-printed, in the array form (every object replaced by the
// array of its values) and in both at once.
//
//   make_seeds OUTPUT_DIR
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "persistence/model_file.hpp"
#include "reference.hpp"
#include "reader_checks.hpp"
#include "training/loop.hpp"

namespace {

using namespace kemb;

Layer layer(std::string type, std::string activation, std::size_t n_inputs, std::size_t n_neurons,
            float dropout_rate = 0.0f) {
  Layer l;
  l.layer_type = std::move(type);
  l.activation_type = std::move(activation);
  l.n_inputs = n_inputs;
  l.n_neurons = n_neurons;
  l.dropout_rate = dropout_rate;
  return l;
}

// Ten epochs on a tiny data set; the training loop saves through the
// atomic save whenever the loss improves. Returns the saved text.
template <typename Model, typename Targets>
std::string trained(Model model, const tensor::Matrix& x, const Targets& y, bool validation,
                    const std::string& opt_type, const std::filesystem::path& scratch) {
  model.save_best_params = (scratch / "trained.json").string();
  std::filesystem::remove(model.save_best_params);
  for (Layer& l : model.layers) l.init();
  DynamicOptimizer opt = DynamicOptimizer::create(opt_type, 0.05f, 0.01f);
  training::train(model, 10, 0, x, y, validation ? x : tensor::Matrix(), y, opt);
  std::ifstream in(model.save_best_params, std::ios::binary);
  if (!in) throw io::Error("no epoch improved the loss: nothing was saved");
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Line breaks and two-blank indentation around every bracket and comma, a
// blank after every colon; strings are copied untouched.
std::string pretty(std::string_view text) {
  std::string out;
  int depth = 0;
  bool in_string = false;
  auto newline = [&] { out += '\n' + std::string(2 * static_cast<std::size_t>(depth), ' '); };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      out += c;
      if (c == '\\') out += text[++i];
      else if (c == '"') in_string = false;
      continue;
    }
    switch (c) {
      case '"': in_string = true; out += c; break;
      case '{': case '[': out += c; ++depth; newline(); break;
      case '}': case ']': --depth; newline(); out += c; break;
      case ',': out += c; newline(); break;
      case ':': out += ": "; break;
      default: out += c;
    }
  }
  return out + "\n";
}

// Every object becomes the array of its values in key order; the writer
// emits keys in field order, which is what the array form expects.
std::string array_form(std::string_view text) {
  std::string out;
  std::vector<bool> object_stack;
  bool expect_key = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      std::size_t end = i + 1;
      while (text[end] != '"') end += text[end] == '\\' ? 2 : 1;
      if (expect_key) {
        i = end + 1;  // the key and its colon
        expect_key = false;
      } else {
        out.append(text.substr(i, end - i + 1));
        i = end;
      }
      continue;
    }
    switch (c) {
      case '{': object_stack.push_back(true); out += '['; expect_key = true; break;
      case '[': object_stack.push_back(false); out += '['; break;
      case '}': object_stack.pop_back(); out += ']'; break;
      case ']': object_stack.pop_back(); out += ']'; break;
      case ',': out += ','; expect_key = object_stack.back(); break;
      default: out += c;
    }
  }
  return out;
}

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The document and its three other forms; each must read back as a model
// of its kind, so a broken seed fails here rather than misleading the fuzzer.
template <typename Model>
void emit(const std::filesystem::path& dir, const std::string& name, const std::string& text) {
  const std::string forms[][2] = {{"compact", text},
                                  {"pretty", pretty(text)},
                                  {"array", array_form(text)},
                                  {"pretty-array", pretty(array_form(text))}};
  for (const auto& [form, body] : forms) {
    fuzz::read_text<Model>(body);
    write_file(dir / (name + "-" + form + ".json"), body);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_seeds OUTPUT_DIR\n";
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  const std::filesystem::path scratch = dir;
  // The same seeds on every run: the weights come from the thread's
  // generator, which KEMB_SEED keys.
  setenv("KEMB_SEED", "2026", 1);

  std::mt19937_64 rng(7);
  tensor::Matrix x(6, 4);
  for (float& v : x.data) v = std::normal_distribution<float>(0.0f, 1.0f)(rng);
  const tensor::Labels labels = {0, 1, 2, 1, 0, 2};
  const tensor::Vector targets(tensor::FloatArray{0.5f, -1.0f, 2.0f, 0.0f, 1.5f, -0.25f});

  CategoricalModel categorical;
  categorical.layers = {layer("dense", "relu", 4, 5), layer("dropout", "", 0, 0, 0.2f),
                        layer("dense", "", 5, 3)};
  CategoricalModel single;
  single.layers = {layer("dense", "", 4, 3)};
  LinearModel linear;
  linear.layers = {layer("dense", "relu", 4, 3), layer("dense", "", 3, 1)};
  LinearModel with_dropout;
  with_dropout.layers = {layer("dense", "relu", 4, 6), layer("dropout", "", 0, 0, 0.5f),
                         layer("dense", "linear", 6, 1)};
  with_dropout.acc_precision = 0.25f;

  emit<CategoricalModel>(dir, "categorical-adam",
                         trained(categorical, x, labels, false, "adam", scratch));
  emit<CategoricalModel>(dir, "categorical-validation-sgd",
                         trained(categorical, x, labels, true, "sgd", scratch));
  emit<CategoricalModel>(dir, "categorical-single-tf-adam",
                         trained(single, x, labels, true, "tf_adam", scratch));
  emit<LinearModel>(dir, "linear-sgd", trained(linear, x, targets, false, "sgd", scratch));
  emit<LinearModel>(dir, "linear-dropout-adam",
                    trained(with_dropout, x, targets, true, "adam", scratch));
  emit<CategoricalModel>(dir, "categorical-empty", fuzz::text_of(CategoricalModel{}));
  emit<LinearModel>(dir, "linear-empty", fuzz::text_of(LinearModel{}));
  using ref::random_record;
  for (int i = 0; i < 12; ++i) {
    const std::string n = std::to_string(i);
    emit<LinearModel>(dir, "linear-random-" + n, fuzz::text_of(random_record<LinearModel>(rng)));
    emit<CategoricalModel>(dir, "categorical-random-" + n,
                           fuzz::text_of(random_record<CategoricalModel>(rng)));
  }
  std::filesystem::remove(scratch / "trained.json");
  return 0;
}
