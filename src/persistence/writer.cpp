// The model file writer.
#include "persistence/writer.hpp"

#include <charconv>
#include <cstdint>

#include "io/error.hpp"
#include "persistence/float_text.hpp"

namespace kemb::persistence {
namespace {

void append_unsigned(TextBuffer& out, std::uint64_t value) {
  char* p = out.room(20);
  out.commit(std::to_chars(p, p + 20, value).ptr);
}

void append_float(TextBuffer& out, float value) {
  out.commit(format_float(value, out.room(kMaxFloatText)));
}

// "data":[...] for `n` floats; the hot loop of every save.
void append_data(TextBuffer& out, const float* values, std::size_t n) {
  out.append("\"data\":[");
  for (std::size_t i = 0; i < n; ++i) {
    char* p = out.room(kMaxFloatText + 1);
    if (i != 0) *p++ = ',';
    out.commit(format_float(values[i], p));
  }
  out.append("]}");
}

// "key": with the comma that separates it from the previous member.
void append_key(TextBuffer& out, std::string_view key, bool first = false) {
  if (!first) out.push(',');
  out.push('"');
  out.append(key);
  out.append("\":");
}

// One member of an object, value by kind.
void put(TextBuffer& out, std::string_view key, const std::string& value, bool first = false) {
  append_key(out, key, first);
  append_string(out, value);
}
void put(TextBuffer& out, std::string_view key, std::uint64_t value) {
  append_key(out, key);
  append_unsigned(out, value);
}
void put(TextBuffer& out, std::string_view key, float value) {
  append_key(out, key);
  append_float(out, value);
}
void put(TextBuffer& out, std::string_view key, const Matrix& value) {
  append_key(out, key);
  append_array(out, value);
}
void put(TextBuffer& out, std::string_view key, const Vector& value) {
  append_key(out, key);
  append_array(out, value);
}

void append_layer(TextBuffer& out, const Layer& layer) {
  out.push('{');
  put(out, "layer_type", layer.layer_type, true);
  put(out, "activation_type", layer.activation_type);
  put(out, "n_inputs", layer.n_inputs);
  put(out, "n_neurons", layer.n_neurons);
  put(out, "weights", layer.weights);
  put(out, "biases", layer.biases);
  put(out, "weight_regularizer_l1", layer.weight_regularizer_l1);
  put(out, "weight_regularizer_l2", layer.weight_regularizer_l2);
  put(out, "bias_regularizer_l1", layer.bias_regularizer_l1);
  put(out, "bias_regularizer_l2", layer.bias_regularizer_l2);
  put(out, "inputs", layer.inputs);
  put(out, "activation_inputs", layer.activation_inputs);
  put(out, "dweights", layer.dweights);
  put(out, "dbiases", layer.dbiases);
  put(out, "weight_momentums", layer.weight_momentums);
  put(out, "weight_cache", layer.weight_cache);
  put(out, "bias_momentums", layer.bias_momentums);
  put(out, "bias_cache", layer.bias_cache);
  put(out, "dropout_rate", layer.dropout_rate);
  put(out, "binary_mask", layer.binary_mask);
  out.push('}');
}

// The members both model kinds open with: layers and the three selectors.
template <typename Model>
void append_model_head(TextBuffer& out, const Model& model) {
  out.push('{');
  append_key(out, "layers", true);
  out.push('[');
  for (std::size_t i = 0; i < model.layers.size(); ++i) {
    if (i != 0) out.push(',');
    append_layer(out, model.layers[i]);
  }
  out.push(']');
  put(out, "output_type", model.output_type);
  put(out, "loss_type", model.loss_type);
  put(out, "acc_type", model.acc_type);
}

}  // namespace

void append_array(TextBuffer& out, const Matrix& matrix) {
  if (checked_elements(matrix.rows, matrix.cols) != matrix.data.size()) {
    throw_index_out_of_bounds();
  }
  out.append("{\"v\":1,\"dim\":[");
  append_unsigned(out, matrix.rows);
  out.push(',');
  append_unsigned(out, matrix.cols);
  out.append("],");
  // Row-major storage: the walk over rows, then columns, is the walk over data.
  append_data(out, matrix.data.data(), matrix.data.size());
}

void append_array(TextBuffer& out, const Vector& vector) {
  out.append("{\"v\":1,\"dim\":[");
  append_unsigned(out, vector.data.size());
  out.append("],");
  append_data(out, vector.data.data(), vector.data.size());
}

void append_string(TextBuffer& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && c != '"' && c != '\\') {
      out.push(c);
      continue;
    }
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default: {
        const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xf]};
        out.append(std::string_view(escape, sizeof escape));
      }
    }
  }
  out.push('"');
}

void write_model(const LinearModel& model, TextBuffer& out) {
  append_model_head(out, model);
  put(out, "acc_precision", model.acc_precision);
  put(out, "save_best_params", model.save_best_params);
  out.push('}');
}

void write_model(const CategoricalModel& model, TextBuffer& out) {
  append_model_head(out, model);
  put(out, "save_best_params", model.save_best_params);
  out.push('}');
}

void write_model(const LinearModel& model, std::string& out) {
  TextBuffer buffer(out);
  write_model(model, buffer);
  buffer.finish();
}

void write_model(const CategoricalModel& model, std::string& out) {
  TextBuffer buffer(out);
  write_model(model, buffer);
  buffer.finish();
}

}  // namespace kemb::persistence
