// Model file speed: save and load of a ~100 MB model (a first layer whose
// `inputs` is a 20000 x 784 pixel matrix, plus a hidden layer), side by side
// with the floors of number conversion on the same floats: std::to_chars
// into memory for writing, std::from_chars of the file's own number texts
// for reading. Medians of interleaved runs, so that the noise of a shared
// machine hits all variants alike.
//
//   bench_persistence [file] [runs]    (default /tmp/kemb-bench-model.json, 5)
//
// The file is left in place for bench/persistence_json.py.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "io/float_text.hpp"
#include "persistence/model_file.hpp"
#include "persistence/reader.hpp"
#include "persistence/writer.hpp"
#include "timing.hpp"

namespace {

using kemb::bench::median;
using kemb::bench::seconds_of;

using kemb::Layer;
using kemb::LinearModel;
using kemb::tensor::Matrix;

LinearModel bench_model() {
  std::mt19937_64 rng(42);
  std::normal_distribution<float> normal(0.0f, 0.01f);
  LinearModel model;
  model.save_best_params = "bench.json";
  Layer first;
  first.layer_type = "dense";
  first.activation_type = "relu";
  first.n_inputs = 784;
  first.n_neurons = 128;
  // Pixels scaled to [0, 1]: most are blank, the rest k / 255.
  first.inputs = Matrix(20000, 784);
  for (float& v : first.inputs.data) {
    v = rng() % 10 < 6 ? 0.0f : static_cast<float>(1 + rng() % 255) / 255.0f;
  }
  for (Matrix* m :
       {&first.weights, &first.dweights, &first.weight_momentums, &first.weight_cache}) {
    *m = Matrix(784, 128);
    for (float& v : m->data) v = normal(rng);
  }
  Layer hidden;
  hidden.layer_type = "dense";
  hidden.n_inputs = 128;
  hidden.n_neurons = 10;
  hidden.weights = Matrix(128, 10);
  for (float& v : hidden.weights.data) v = normal(rng);
  model.layers = {first, hidden};
  return model;
}

// Every float of the model, in file order.
std::vector<float> floats_of(const LinearModel& model) {
  std::vector<float> out;
  for (const Layer& l : model.layers) {
    for (const Matrix* m :
         {&l.weights, &l.inputs, &l.dweights, &l.weight_momentums, &l.weight_cache}) {
      out.insert(out.end(), m->data.begin(), m->data.end());
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "/tmp/kemb-bench-model.json";
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const LinearModel model = bench_model();
  const std::vector<float> floats = floats_of(model);

  // The file's number texts, comma separated, for the reading floor.
  std::string texts;
  for (const float f : floats) {
    char buffer[kemb::io::kMaxFloatText];
    texts.append(buffer, kemb::io::format_float(f, buffer));
    texts += ',';
  }
  std::vector<char> sink(floats.size() * 24);
  std::vector<float> parsed(floats.size());
  std::string memory_text;
  volatile double checksum = 0;

  std::vector<double> t_floor_write, t_save, t_save_new, t_memory_write, t_floor_read,
      t_floor_read_new, t_load, t_memory_read;
  for (int run = 0; run < runs; ++run) {
    t_floor_write.push_back(seconds_of([&] {
      char* p = sink.data();
      char* const end = p + sink.size();
      for (const float f : floats) {
        p = std::to_chars(p, end, f).ptr;
        *p++ = ',';
      }
      checksum = checksum + static_cast<double>(p - sink.data());
    }));
    t_save.push_back(seconds_of([&] { kemb::persistence::save(model, path); }));
    // Without a previous file to replace: the file system frees no blocks
    // and starts no early write-back at the rename.
    ::unlink(path.c_str());
    t_save_new.push_back(seconds_of([&] { kemb::persistence::save(model, path); }));
    t_memory_write.push_back(seconds_of([&] {
      memory_text.clear();
      kemb::persistence::write_model(model, memory_text);
    }));
    t_floor_read.push_back(seconds_of([&] {
      const char* p = texts.data();
      const char* const end = p + texts.size();
      for (float& f : parsed) {
        double d = 0;
        p = std::from_chars(p, end, d).ptr + 1;
        f = static_cast<float>(d);
      }
      checksum = checksum + parsed.back();
    }));
    // The same into freshly allocated storage, as a loaded model needs: the
    // difference is the first touch of every page.
    t_floor_read_new.push_back(seconds_of([&] {
      std::vector<float> fresh;
      fresh.reserve(floats.size());
      const char* p = texts.data();
      const char* const end = p + texts.size();
      for (std::size_t i = 0; i < floats.size(); ++i) {
        double d = 0;
        p = std::from_chars(p, end, d).ptr + 1;
        fresh.push_back(static_cast<float>(d));
      }
      checksum = checksum + fresh.back();
    }));
    t_load.push_back(seconds_of([&] {
      checksum = checksum + kemb::persistence::load_linear_model(path).acc_precision;
    }));
    t_memory_read.push_back(seconds_of([&] {
      checksum = checksum + kemb::persistence::read_linear_model(memory_text).acc_precision;
    }));
  }

  const double mb = static_cast<double>(memory_text.size()) / 1e6;
  std::printf("file %s: %.1f MB, %zu floats, median of %d runs\n", path.c_str(), mb,
              floats.size(), runs);
  std::printf("%-34s %9s %9s %8s\n", "", "seconds", "MB/s", "x floor");
  auto row = [&](const char* name, double t, double floor) {
    std::printf("%-34s %9.3f %9.1f %8.2f\n", name, t, mb / t, t / floor);
  };
  const double fw = median(t_floor_write), fr = median(t_floor_read);
  row("write floor: std::to_chars", fw, fw);
  row("save (replacing the file)", median(t_save), fw);
  row("save (to a new path)", median(t_save_new), fw);
  row("write_model (memory)", median(t_memory_write), fw);
  row("read floor: std::from_chars", fr, fr);
  row("read floor into new memory", median(t_floor_read_new), fr);
  row("load (file)", median(t_load), fr);
  row("read_linear_model (memory)", median(t_memory_read), fr);
  return checksum == 12345.678 ? 1 : 0;
}
