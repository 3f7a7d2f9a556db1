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

// The value of one field, by the field's type: strings, unsigned counts,
// floats, matrix and vector objects, and the layer list.
void read_value(JsonInput& in, std::string& value);
void read_value(JsonInput& in, std::uint64_t& value);
void read_value(JsonInput& in, float& value);
void read_value(JsonInput& in, Matrix& matrix);
void read_value(JsonInput& in, Vector& vector);
void read_value(JsonInput& in, std::vector<Layer>& layers);

// Reads a record given as an object (keys in any order, unknown keys
// skipped, every field required once) or as an array of its field values in
// the order of its field table.
template <typename Record>
void read_record(JsonInput& in, Record& record) {
  static constexpr auto kFields = Record::fields();
  static constexpr auto kNames = field_names(kFields);
  constexpr std::size_t kCount = kNames.size();
  const auto read_field = [&](std::size_t i) {
    visit_field(kFields, i, [&](const auto& field) { read_value(in, record.*(field.member)); });
  };
  const int c = in.peek_token();
  if (c != '{' && c != '[') in.fail_invalid_type("struct " + std::string(Record::kName));
  in.bump();
  in.enter();
  if (c == '[') {
    for (std::size_t i = 0; i < kCount; ++i) {
      if (!in.next_element(i == 0)) {
        in.fail("invalid length " + std::to_string(i) + ", expected struct " +
                std::string(Record::kName) + " with " + std::to_string(kCount) + " elements");
      }
      read_field(i);
    }
    in.end_array(kCount);
    in.leave();
    return;
  }
  std::bitset<kCount> seen;
  TokenText key;
  for (bool first = true; in.next_key(first, &key); first = false) {
    // A key cut short is longer than any field name.
    const auto i = key.cut() ? kCount
                             : static_cast<std::size_t>(
                                   std::find(kNames.begin(), kNames.end(), key.text) -
                                   kNames.begin());
    if (i == kCount) {
      in.skip_value();
      continue;
    }
    if (seen[i]) in.fail("duplicate field `" + key.text + "`");
    read_field(i);
    seen.set(i);
  }
  for (std::size_t i = 0; i < kCount; ++i) {
    if (!seen[i]) in.fail("missing field `" + std::string(kNames[i]) + "`");
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
    TokenText key;
    for (bool first = true; in.next_key(first, &key); first = false) {
      const auto i = key.cut() ? 3
                               : static_cast<std::size_t>(
                                     std::find(kFields.begin(), kFields.end(), key.text) -
                                     kFields.begin());
      if (i == 3) {
        in.fail("unknown field `" + key.text + "`" + io::cut_marker(key.text.size(), key.size) +
                ", expected one of `v`, `dim`, `data`");
      }
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

void read_value(JsonInput& in, std::string& value) { in.read_string(value); }
void read_value(JsonInput& in, std::uint64_t& value) { value = in.read_unsigned(); }
void read_value(JsonInput& in, float& value) { value = in.read_float(); }

// matrix object: (rows, cols) with rows * cols values.
void read_value(JsonInput& in, Matrix& matrix) {
  std::array<std::uint64_t, 2> dim{};
  matrix = Matrix();
  read_array(in, dim, matrix.data);
  matrix.rows = static_cast<std::size_t>(dim[0]);
  matrix.cols = static_cast<std::size_t>(dim[1]);
}

// vector object: (n) with n values.
void read_value(JsonInput& in, Vector& vector) {
  std::array<std::uint64_t, 1> dim{};
  vector = Vector();
  read_array(in, dim, vector.data);
}

void read_value(JsonInput& in, std::vector<Layer>& layers) {
  if (in.peek_token() != '[') in.fail_invalid_type("a sequence");
  in.bump();
  in.enter();
  layers.clear();
  for (bool first = true; in.next_element(first); first = false) {
    read_record(in, layers.emplace_back());
  }
  in.leave();
}

template <typename Model>
Model read_model(JsonInput& in) {
  Model model;
  read_record(in, model);
  in.finish();
  return model;
}

}  // namespace

LinearModel read_linear_model(std::string_view text) {
  JsonInput in(text);
  return read_model<LinearModel>(in);
}

CategoricalModel read_categorical_model(std::string_view text) {
  JsonInput in(text);
  return read_model<CategoricalModel>(in);
}

LinearModel read_linear_model(ByteSource& source) {
  JsonInput in(source);
  return read_model<LinearModel>(in);
}

CategoricalModel read_categorical_model(ByteSource& source) {
  JsonInput in(source);
  return read_model<CategoricalModel>(in);
}

}  // namespace kemb::persistence
