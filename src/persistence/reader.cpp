// The schema of the model file: models, layers and array objects, read field
// by field from a JsonInput.
#include "persistence/reader.hpp"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/error.hpp"

namespace kemb::persistence {

using tensor::FloatArray;
using tensor::Matrix;
using tensor::Vector;

namespace {

constexpr std::array<std::string_view, 20> kLayerFields = {
    "layer_type",        "activation_type",      "n_inputs",
    "n_neurons",         "weights",              "biases",
    "weight_regularizer_l1", "weight_regularizer_l2", "bias_regularizer_l1",
    "bias_regularizer_l2",   "inputs",               "activation_inputs",
    "dweights",          "dbiases",              "weight_momentums",
    "weight_cache",      "bias_momentums",       "bias_cache",
    "dropout_rate",      "binary_mask"};

constexpr std::array<std::string_view, 6> kLinearFields = {
    "layers", "output_type", "loss_type", "acc_type", "acc_precision", "save_best_params"};

constexpr std::array<std::string_view, 5> kCategoricalFields = {
    "layers", "output_type", "loss_type", "acc_type", "save_best_params"};

// Reads a record given as an object (keys in any order, unknown keys
// skipped, every field required once) or as an array of its field values.
// read_field(i) reads the value of field i.
template <std::size_t N, typename ReadField>
void read_struct(JsonInput& in, std::string_view name,
                 const std::array<std::string_view, N>& fields, ReadField&& read_field) {
  const int c = in.peek_token();
  if (c != '{' && c != '[') in.fail_invalid_type("struct " + std::string(name));
  in.bump();
  in.enter();
  if (c == '[') {
    for (std::size_t i = 0; i < N; ++i) {
      if (!in.next_element(i == 0)) {
        in.fail("invalid length " + std::to_string(i) + ", expected struct " + std::string(name) +
                " with " + std::to_string(N) + " elements");
      }
      read_field(i);
    }
    in.end_array(N);
    in.leave();
    return;
  }
  std::bitset<N> seen;
  std::string key;
  for (bool first = true; in.next_key(first, &key); first = false) {
    const auto i = static_cast<std::size_t>(std::find(fields.begin(), fields.end(), key) -
                                            fields.begin());
    if (i == N) {
      in.skip_value();
      continue;
    }
    if (seen[i]) in.fail("duplicate field `" + key + "`");
    read_field(i);
    seen.set(i);
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (!seen[i]) in.fail("missing field `" + std::string(fields[i]) + "`");
  }
  in.leave();
}

// `dim`: exactly D unsigned entries.
template <std::size_t D>
void read_dim(JsonInput& in, std::array<std::uint64_t, D>& dim) {
  const std::string expected = "an array of length " + std::to_string(D);
  if (in.peek_token() != '[') in.fail_invalid_type(expected);
  in.bump();
  in.enter();
  for (std::size_t i = 0; i < D; ++i) {
    if (!in.next_element(i == 0)) {
      in.fail("invalid length " + std::to_string(i) + ", expected " + expected);
    }
    dim[i] = in.read_unsigned();
  }
  if (in.next_element(false)) {
    std::size_t n = D;
    do {
      in.skip_value();
      ++n;
    } while (in.next_element(false));
    in.fail("invalid length " + std::to_string(n) + ", expected " + expected);
  }
  in.leave();
}

// Element count of `dim`, or false when the product overflows (and so
// cannot match any data).
template <std::size_t D>
bool dim_product(const std::array<std::uint64_t, D>& dim, std::uint64_t& product) {
  product = 1;
  for (const std::uint64_t d : dim) {
    if (__builtin_mul_overflow(product, d, &product)) return false;
  }
  return true;
}

// `data`: floats appended to a cleared `data`. When the shape is already
// known and the input's remaining length too, the storage is reserved once,
// bounded by what the rest of the input could still hold (two bytes per
// value at least): a hostile shape cannot make the reader allocate more
// than the text justifies.
template <std::size_t D>
void read_data(JsonInput& in, const std::array<std::uint64_t, D>* dim, FloatArray& data) {
  data.clear();
  std::uint64_t expected = 0;
  const std::size_t remaining = in.remaining_hint();
  if (dim != nullptr && dim_product(*dim, expected) && remaining != SIZE_MAX) {
    data.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(expected, remaining / 2 + 1)));
  }
  in.read_float_array(data);
}

// An array object ({"v":1,"dim":[...],"data":[...]} or [1,[...],[...]]) of D
// dimensions; the shape is checked against the element count.
template <std::size_t D>
void read_array(JsonInput& in, std::array<std::uint64_t, D>& dim, FloatArray& data) {
  constexpr std::array<std::string_view, 3> kFields = {"v", "dim", "data"};
  bool has[3] = {false, false, false};
  auto read_member = [&](std::size_t i) {
    if (i == 0) {
      const std::uint64_t version = in.read_unsigned();
      if (version != 1) in.fail("unknown array version: " + std::to_string(version));
    } else if (i == 1) {
      read_dim(in, dim);
    } else {
      read_data(in, has[1] ? &dim : nullptr, data);
    }
    has[i] = true;
  };
  const int c = in.peek_token();
  if (c != '{' && c != '[') in.fail_invalid_type("ndarray representation");
  in.bump();
  in.enter();
  if (c == '[') {
    for (std::size_t i = 0; i < 3; ++i) {
      if (!in.next_element(i == 0)) {
        in.fail("invalid length " + std::to_string(i) + ", expected ndarray representation");
      }
      read_member(i);
    }
    in.end_array(3);
  } else {
    std::string key;
    for (bool first = true; in.next_key(first, &key); first = false) {
      const auto i = static_cast<std::size_t>(std::find(kFields.begin(), kFields.end(), key) -
                                              kFields.begin());
      if (i == 3) in.fail("unknown field `" + key + "`, expected one of `v`, `dim`, `data`");
      read_member(i);  // a repeated key replaces the earlier value
    }
    if (!has[0]) in.fail("missing field `v`");
    if (!has[2]) in.fail("missing field `data`");
    if (!has[1]) in.fail("missing field `dim`");
  }
  in.leave();
  std::uint64_t product = 0;
  if (!dim_product(dim, product) || product != data.size()) {
    in.fail("data and dimension must match in size");
  }
}

// matrix object: (rows, cols) with rows * cols values.
Matrix read_matrix(JsonInput& in) {
  std::array<std::uint64_t, 2> dim{};
  Matrix matrix;
  read_array(in, dim, matrix.data);
  matrix.rows = static_cast<std::size_t>(dim[0]);
  matrix.cols = static_cast<std::size_t>(dim[1]);
  return matrix;
}

// vector object: (n) with n values.
Vector read_vector(JsonInput& in) {
  std::array<std::uint64_t, 1> dim{};
  Vector vector;
  read_array(in, dim, vector.data);
  return vector;
}

Layer read_layer(JsonInput& in) {
  Layer layer;
  read_struct(in, "Layer", kLayerFields, [&](std::size_t i) {
    switch (i) {
      case 0: in.read_string(layer.layer_type); break;
      case 1: in.read_string(layer.activation_type); break;
      case 2: layer.n_inputs = in.read_unsigned(); break;
      case 3: layer.n_neurons = in.read_unsigned(); break;
      case 4: layer.weights = read_matrix(in); break;
      case 5: layer.biases = read_vector(in); break;
      case 6: layer.weight_regularizer_l1 = in.read_float(); break;
      case 7: layer.weight_regularizer_l2 = in.read_float(); break;
      case 8: layer.bias_regularizer_l1 = in.read_float(); break;
      case 9: layer.bias_regularizer_l2 = in.read_float(); break;
      case 10: layer.inputs = read_matrix(in); break;
      case 11: layer.activation_inputs = read_matrix(in); break;
      case 12: layer.dweights = read_matrix(in); break;
      case 13: layer.dbiases = read_vector(in); break;
      case 14: layer.weight_momentums = read_matrix(in); break;
      case 15: layer.weight_cache = read_matrix(in); break;
      case 16: layer.bias_momentums = read_vector(in); break;
      case 17: layer.bias_cache = read_vector(in); break;
      case 18: layer.dropout_rate = in.read_float(); break;
      default: layer.binary_mask = read_matrix(in); break;
    }
  });
  return layer;
}

void read_layers(JsonInput& in, std::vector<Layer>& layers) {
  if (in.peek_token() != '[') in.fail_invalid_type("a sequence");
  in.bump();
  in.enter();
  layers.clear();
  for (bool first = true; in.next_element(first); first = false) layers.push_back(read_layer(in));
  in.leave();
}

LinearModel read_linear(JsonInput& in) {
  LinearModel model;
  read_struct(in, "LinearModel", kLinearFields, [&](std::size_t i) {
    switch (i) {
      case 0: read_layers(in, model.layers); break;
      case 1: in.read_string(model.output_type); break;
      case 2: in.read_string(model.loss_type); break;
      case 3: in.read_string(model.acc_type); break;
      case 4: model.acc_precision = in.read_float(); break;
      default: in.read_string(model.save_best_params); break;
    }
  });
  in.finish();
  return model;
}

CategoricalModel read_categorical(JsonInput& in) {
  CategoricalModel model;
  read_struct(in, "CategoricalModel", kCategoricalFields, [&](std::size_t i) {
    switch (i) {
      case 0: read_layers(in, model.layers); break;
      case 1: in.read_string(model.output_type); break;
      case 2: in.read_string(model.loss_type); break;
      case 3: in.read_string(model.acc_type); break;
      default: in.read_string(model.save_best_params); break;
    }
  });
  in.finish();
  return model;
}

}  // namespace

LinearModel read_linear_model(std::string_view text) {
  JsonInput in(text);
  return read_linear(in);
}

CategoricalModel read_categorical_model(std::string_view text) {
  JsonInput in(text);
  return read_categorical(in);
}

LinearModel read_linear_model(ByteSource& source) {
  JsonInput in(source);
  return read_linear(in);
}

CategoricalModel read_categorical_model(ByteSource& source) {
  JsonInput in(source);
  return read_categorical(in);
}

}  // namespace kemb::persistence
