// The model file writer: each record is walked by its field table.
#include "persistence/writer.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <thread>
#include <type_traits>
#include <vector>

#include "io/error.hpp"
#include "io/number_format.hpp"
#include "io/float_text.hpp"
#include "os/thread.hpp"

namespace kemb::persistence {

using io::throw_index_out_of_bounds;
using tensor::checked_elements;
using tensor::Matrix;
using tensor::Vector;

namespace {

void append_unsigned(TextBuffer& out, std::uint64_t value) {
  char* p = out.room(20);
  out.commit(std::to_chars(p, p + 20, value).ptr);
}

void append_float(TextBuffer& out, float value) {
  out.commit(io::format_float(value, out.room(io::kMaxFloatText)));
}

// The numbers values[0, n), each preceded by a comma unless it is element
// 0 of the array (`first`); the hot loop of every save.
void append_numbers(TextBuffer& out, const float* values, std::size_t n, bool first) {
  for (std::size_t i = 0; i < n; ++i) {
    char* p = out.room(io::kMaxFloatText + 1);
    if (i != 0 || !first) *p++ = ',';
    out.commit(io::format_float(values[i], p));
  }
}

// The same into memory that has room for n x (io::kMaxFloatText + 1) bytes.
char* format_numbers(const float* values, std::size_t n, char* p) {
  for (std::size_t i = 0; i < n; ++i) {
    *p++ = ',';
    p = io::format_float(values[i], p);
  }
  return p;
}

// "data":[...] for `n` floats.
void append_data(TextBuffer& out, const float* values, std::size_t n) {
  out.append("\"data\":[");
  append_numbers(out, values, n, true);
  out.append("]}");
}

// "data":[...] with each block of kSplitElements values cut into as many
// parts as `threads` says when the block starts: the calling thread formats
// the first into `out` while helpers format the others into memory,
// appended in order. Text is position-free, so the bytes are those of
// append_data whatever the split.
void append_data_split(TextBuffer& out, const float* values, std::size_t n,
                       const std::atomic<unsigned>& threads) {
  // With two threads or more a part holds at most half a block.
  const std::size_t capacity = (kSplitElements + 1) / 2;
  std::vector<tensor::Bytes> text;
  std::vector<char*> ends;
  out.append("\"data\":[");
  for (std::size_t start = 0; start < n; start += kSplitElements) {
    const std::size_t count = std::min(kSplitElements, n - start);
    const unsigned parts = std::max(1u, threads.load());
    const std::size_t part = (count + parts - 1) / parts;
    const unsigned helpers = parts - 1;
    while (text.size() < helpers) text.push_back(tensor::checked_bytes(capacity * (io::kMaxFloatText + 1)));
    ends.resize(text.size());
    const std::size_t mine = std::min(part, count);
    // Helper h formats values [first, last) of the block into text[h].
    const auto format_part = [&](unsigned h) {
      const std::size_t first = std::min(count, mine + h * part);
      const std::size_t last = std::min(count, first + part);
      ends[h] = format_numbers(values + start + first, last - first, text[h].get());
    };
    // jthread joins on the way out too: a sink that fails while helpers
    // still format must not leave them running. A part whose thread cannot
    // start is formatted here, after this thread's own.
    std::vector<std::jthread> workers(helpers);
    std::vector<unsigned> left_over;
    for (unsigned h = 0; h < helpers; ++h) {
      ends[h] = text[h].get();
      if (mine + h * part >= count) continue;
      if (os::start_quiet_thread(workers[h], [&format_part, h] { format_part(h); }) != 0) {
        left_over.push_back(h);
      }
    }
    append_numbers(out, values + start, mine, start == 0);
    for (const unsigned h : left_over) format_part(h);
    for (std::jthread& w : workers) {
      if (w.joinable()) w.join();
    }
    for (unsigned h = 0; h < helpers; ++h) {
      out.append(std::string_view(text[h].get(), static_cast<std::size_t>(ends[h] - text[h].get())));
    }
  }
  out.append("]}");
}

// "key": with the comma that separates it from the previous member.
void append_key(TextBuffer& out, std::string_view key, bool first) {
  if (!first) out.push(',');
  out.push('"');
  out.append(key);
  out.append("\":");
}

void append_value(TextBuffer& out, const std::string& value) { append_string(out, value); }
void append_value(TextBuffer& out, std::uint64_t value) { append_unsigned(out, value); }
void append_value(TextBuffer& out, float value) { append_float(out, value); }
void append_value(TextBuffer& out, const Vector& value) { append_array(out, value); }

// One record as an object, its members in the order of its field table.
// `put(field, value)` writes the value of each member.
template <typename Record, typename Put>
void append_record(TextBuffer& out, const Record& record, Put&& put) {
  out.push('{');
  for_each_field(Record::fields(), [&](const auto& field, std::size_t i) {
    append_key(out, field.name, i == 0);
    put(field, record.*(field.member));
  });
  out.push('}');
}

// Layer number `index`; its matrices by `matrices` when given.
void append_layer(TextBuffer& out, const Layer& layer, std::size_t index, MatrixText* matrices) {
  append_record(out, layer, [&](const auto& field, const auto& value) {
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, Matrix>) {
      if (matrices != nullptr) {
        matrices->append(out, index, field.member, value);
      } else {
        append_array(out, value);
      }
    } else {
      append_value(out, value);
    }
  });
}

// The document of either model kind.
template <typename Model>
void write_document(TextBuffer& out, const Model& model, MatrixText* matrices) {
  append_record(out, model, [&](const auto&, const auto& value) {
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::vector<Layer>>) {
      out.push('[');
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (i != 0) out.push(',');
        append_layer(out, value[i], i, matrices);
      }
      out.push(']');
    } else {
      append_value(out, value);
    }
  });
}

}  // namespace

void append_array(TextBuffer& out, const Matrix& matrix) {
  const std::atomic<unsigned> one{1};
  append_array(out, matrix, one);
}

void append_array(TextBuffer& out, const Matrix& matrix, const std::atomic<unsigned>& threads) {
  if (checked_elements(matrix.rows, matrix.cols) != matrix.data.size()) {
    throw_index_out_of_bounds();
  }
  append_array(out, ArrayView::of(matrix), threads);
}

void append_array(TextBuffer& out, ArrayView view, const std::atomic<unsigned>& threads) {
  out.append("{\"v\":1,\"dim\":[");
  append_unsigned(out, view.rows);
  out.push(',');
  append_unsigned(out, view.cols);
  out.append("],");
  // Row-major storage: the walk over rows, then columns, is the walk over data.
  const std::size_t n = view.rows * view.cols;
  if (n >= kSplitElements) {
    append_data_split(out, view.data, n, threads);
  } else {
    append_data(out, view.data, n);
  }
}

void append_array(TextBuffer& out, const Vector& vector) {
  out.append("{\"v\":1,\"dim\":[");
  append_unsigned(out, vector.data.size());
  out.append("],");
  append_data(out, vector.data.data(), vector.data.size());
}

void append_string(TextBuffer& out, std::string_view text) {
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
        const char escape[] = {'\\', 'u', '0', '0', io::kHexDigits[byte >> 4], io::kHexDigits[byte & 0xf]};
        out.append(std::string_view(escape, sizeof escape));
      }
    }
  }
  out.push('"');
}

void write_model(const LinearModel& model, TextBuffer& out, MatrixText& matrices) {
  write_document(out, model, &matrices);
}

void write_model(const CategoricalModel& model, TextBuffer& out, MatrixText& matrices) {
  write_document(out, model, &matrices);
}

void write_model(const LinearModel& model, TextBuffer& out) {
  write_document(out, model, nullptr);
}

void write_model(const CategoricalModel& model, TextBuffer& out) {
  write_document(out, model, nullptr);
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
