// Cost of saving an MNIST-sized model (60000 x 784 inputs, 784-128 relu,
// 128-10): the plain save (format everything); the pipeline's preparation of
// the first input's text at the start of a call (on 1 or 2 threads); a save
// that copies that text and formats the rest (1 or 2 threads); and what the
// training thread pays per save (the snapshot copy, measured as the time
// save() takes to return). Median of the runs.
//
//   bench_save_pipeline [directory] [runs]   (default: /tmp, 3)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "model/categorical.hpp"
#include "persistence/detail.hpp"
#include "persistence/model_file.hpp"
#include "persistence/save_pipeline.hpp"
#include "random/thread_rng.hpp"
#include "timing.hpp"

namespace {

using kemb::bench::median;
using kemb::bench::seconds_of;

using namespace kemb;
using Seam = persistence::detail::PipelineSeam<CategoricalModel>;

// Pixel-like values: 60% zeros, the rest k/255.
tensor::Matrix pixels(std::size_t rows, std::size_t cols) {
  tensor::Matrix m(rows, cols);
  for (float& x : m.data) {
    const std::uint64_t r = random::next_u64();
    x = (r % 10) < 6 ? 0.0f : static_cast<float>((r >> 8) % 256) / 255.0f;
  }
  return m;
}

tensor::Matrix small_values(std::size_t rows, std::size_t cols) {
  tensor::Matrix m(rows, cols);
  for (float& x : m.data) x = static_cast<float>(random::next_u64() >> 40) / 16777216.0f - 0.5f;
  return m;
}

Layer dense(std::size_t n_in, std::size_t n_out, const char* activation) {
  Layer layer;
  layer.layer_type = "dense";
  layer.activation_type = activation;
  layer.n_inputs = n_in;
  layer.n_neurons = n_out;
  layer.init();
  layer.dweights = small_values(n_in, n_out);
  layer.weight_momentums = small_values(n_in, n_out);
  layer.weight_cache = small_values(n_in, n_out);
  return layer;
}

CategoricalModel mnist_model(const std::string& path) {
  CategoricalModel model;
  model.layers.push_back(dense(784, 128, "relu"));
  model.layers.push_back(dense(128, 10, ""));
  model.layers[0].inputs = pixels(60000, 784);
  model.layers[0].activation_inputs = small_values(60000, 128);
  model.layers[1].inputs = small_values(60000, 128);
  model.save_best_params = path;
  return model;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const std::string path = dir + "/bench_save_pipeline.json";
  CategoricalModel model = mnist_model(path);

  const tensor::Matrix first = model.layers[0].inputs;
  const auto view = persistence::ArrayView::of(first);
  std::vector<double> plain, whole2, prepare1, prepare2, save1, save2, snapshot;
  for (int run = 0; run < runs; ++run) {
    plain.push_back(seconds_of([&] { persistence::save(model, path); }));
    {
      persistence::SavePipeline<CategoricalModel> saves;
      whole2.push_back(seconds_of([&] { Seam::save_now(saves, model, 2); }));
    }
    for (unsigned threads : {1u, 2u}) {
      persistence::SavePipeline<CategoricalModel> saves;
      (threads == 1 ? prepare1 : prepare2).push_back(seconds_of([&] {
        Seam::prepare_first_input_now(saves, view, path, threads);
      }));
      (threads == 1 ? save1 : save2).push_back(
          seconds_of([&] { Seam::save_now(saves, model, threads); }));
    }
    persistence::SavePipeline<CategoricalModel> background;
    background.prepare_first_input(view, path);
    background.save(model);
    Seam::wait(background);
    snapshot.push_back(seconds_of([&] { background.save(model); }));
    background.finish();
  }
  std::remove(path.c_str());
  std::printf("MNIST-sized model to %s, median of %d runs\n", dir.c_str(), runs);
  std::printf("plain save (format all, 1 thread)            %7.3f s\n", median(plain));
  std::printf("pipeline save, all formatted, 2 threads      %7.3f s\n", median(whole2));
  std::printf("first input's text prepared, 1 thread        %7.3f s\n", median(prepare1));
  std::printf("first input's text prepared, 2 threads       %7.3f s\n", median(prepare2));
  std::printf("save with the text copied, 1 format thread   %7.3f s\n", median(save1));
  std::printf("save with the text copied, 2 format threads  %7.3f s\n", median(save2));
  std::printf("training thread per background save          %7.3f s\n", median(snapshot));
  return 0;
}
