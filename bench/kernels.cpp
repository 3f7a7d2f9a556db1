// Throughput of the numerical core on an MNIST-sized full batch: a
// 60000 x 784 input through a 784-128 relu dense layer and a 128-10 dense
// layer with softmax and cross-entropy, one Adam update. Each product is
// timed inside its layer call and as a bare sgemm on the same operands; the
// element-wise work of an epoch is timed stage by stage. The machine is
// shared and noisy, so every item runs once per round, rounds repeat, and
// the report gives medians and the median of the per-round ratios.
//
//   bench_kernels [rounds]     (default 9)
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "accuracy/categorical.hpp"
#include "activation/relu.hpp"
#include "activation/softmax.hpp"
#include "dyn_layer.hpp"
#include "layer/dropout.hpp"
#include "loss/categorical_crossentropy.hpp"
#include "model/categorical.hpp"
#include "optimizer/dyn_optimizer.hpp"
#include "random/thread_rng.hpp"
#include "tensor/gemm.hpp"
#include "timing.hpp"

namespace {

using kemb::bench::median;
using kemb::bench::seconds_of;

using namespace kemb;

constexpr std::size_t kSamples = 60000;
constexpr std::size_t kFeatures = 784;
constexpr std::size_t kHidden = 128;
constexpr std::size_t kClasses = 10;

struct Item {
  std::string name;
  std::function<void()> work;
  std::vector<double> seconds;
};

tensor::Matrix random_matrix(std::size_t rows, std::size_t cols, float scale) {
  tensor::Matrix m(rows, cols);
  for (float& x : m.data) {
    x = scale * (static_cast<float>(random::next_u64() >> 40) / 16777216.0f - 0.5f);
  }
  return m;
}

// Bare sgemm on row-major operands with transposes as flags.
void raw_sgemm(const tensor::Matrix& a, bool ta, const tensor::Matrix& b, bool tb, tensor::Matrix& c) {
  const int m = static_cast<int>(ta ? a.cols : a.rows);
  const int k = static_cast<int>(ta ? a.rows : a.cols);
  const int n = static_cast<int>(tb ? b.rows : b.cols);
  scipy_cblas_sgemm(CblasRowMajor, ta ? CblasTrans : CblasNoTrans, tb ? CblasTrans : CblasNoTrans,
                    m, n, k, 1.0f, a.data.data(), static_cast<int>(a.cols), b.data.data(),
                    static_cast<int>(b.cols), 0.0f, c.data.data(), n);
}

Layer dense_layer(std::size_t n_inputs, std::size_t n_neurons, const char* activation) {
  Layer layer;
  layer.layer_type = "dense";
  layer.activation_type = activation;
  layer.n_inputs = n_inputs;
  layer.n_neurons = n_neurons;
  layer.init();
  return layer;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  // The raw items are sgemm as any direct caller gets it, split by
  // OpenBLAS over its own workers; the layer calls keep OpenBLAS on one
  // thread and split the products over kemb's pool (tensor/pool.hpp). So
  // the layer / raw ratios compare the two ways of threading side by side.
  scipy_openblas_set_threads_callback_function(nullptr);
  std::printf("OpenBLAS core: %s, threads: %d, rounds: %d\n", tensor::blas_core_name(),
              scipy_openblas_get_num_threads(), rounds);

  const tensor::Matrix x = random_matrix(kSamples, kFeatures, 1.0f);
  tensor::Labels y(kSamples);
  for (std::size_t i = 0; i < kSamples; ++i) y[i] = static_cast<std::int32_t>(i % kClasses);

  CategoricalModel model;
  model.layers.push_back(dense_layer(kFeatures, kHidden, "relu"));
  model.layers.push_back(dense_layer(kHidden, kClasses, ""));
  model::Workspace ws;
  ws.training_input = x;
  DynamicOptimizer opt = DynamicOptimizer::create("adam", 0.001f, 0.0f);
  tensor::Labels predictions;

  // One epoch as the training loop runs it; afterwards the layers hold the
  // caches and gradients the stage items below work on.
  auto epoch = [&] {
    const tensor::Matrix& out = model.forward(ws.training_input, true, ws);
    model.predict(predictions, out);
    volatile float loss = categorical_crossentropy::calculate(out, y);
    volatile float reg = model::regularization_loss(model.layers);
    volatile float acc = accuracy::categorical(predictions, y);
    (void)loss, (void)reg, (void)acc;
    categorical_crossentropy::backward(ws.gradient, out, y);
    model::backward_layers(model.layers, ws);
    opt.decay_step();
    for (Layer& layer : model.layers) opt.update_params(layer);
    opt.iteration_step();
  };
  epoch();

  // Private copies of the layers for the layer-call items, so that the
  // epoch item keeps its own state.
  Layer l1 = model.layers[0];
  Layer l2 = model.layers[1];
  tensor::Matrix logits, dlogits, dhidden, scratch, copy_target, rectified, soft, dropped;
  l2.forward(logits, l2.inputs, true);
  tensor::Matrix probabilities, dlogits_ref;
  softmax::forward(probabilities, logits);
  categorical_crossentropy::backward(dlogits_ref, probabilities, y);
  dlogits = dlogits_ref;
  l2.backward(dhidden, dlogits, true);
  const tensor::Matrix dhidden_ref = dhidden;
  const tensor::Matrix pre = l1.activation_inputs;
  tensor::Matrix d_hidden = dhidden_ref;
  Layer drop;
  drop.layer_type = "dropout";
  drop.dropout_rate = 0.9f;
  tensor::Matrix c1(kSamples, kHidden), c2(kSamples, kClasses), c3(kFeatures, kHidden),
      c4(kHidden, kClasses), c5(kSamples, kHidden);

  // Layer calls consume their gradient, so they get a fresh copy each time;
  // the copies are timed on their own and subtracted.
  std::vector<Item> items = {
      {"epoch", epoch, {}},
      {"L1 forward X.W (+bias,relu)", [&] { l1.forward(l2.inputs, l1.inputs, true); }, {}},
      {"L2 forward X.W (+bias)", [&] { l2.forward(logits, l2.inputs, true); }, {}},
      {"L2 backward X^T.G, G.W^T (+colsum)", [&] {
         dlogits = dlogits_ref;
         l2.backward(dhidden, dlogits, true);
       }, {}},
      {"L1 backward X^T.G (+relu',colsum)", [&] {
         scratch = dhidden_ref;
         l1.backward(dlogits, scratch, false);
       }, {}},
      {"copy of the L2 gradient", [&] { dlogits = dlogits_ref; }, {}},
      {"copy of the L1 gradient", [&] { scratch = dhidden_ref; }, {}},
      {"raw L1 X.W", [&] { raw_sgemm(l1.inputs, false, l1.weights, false, c1); }, {}},
      {"raw L2 X.W", [&] { raw_sgemm(l2.inputs, false, l2.weights, false, c2); }, {}},
      {"raw L2 X^T.G + G.W^T", [&] {
         raw_sgemm(l2.inputs, true, dlogits_ref, false, c4);
         raw_sgemm(dlogits_ref, false, l2.weights, true, c5);
       }, {}},
      {"raw L1 X^T.G", [&] { raw_sgemm(l1.inputs, true, dhidden_ref, false, c3); }, {}},
      // Element-wise stages of an epoch.
      {"relu forward 60000x128", [&] {
         rectified.reshape_for_overwrite(pre.rows, pre.cols);
         relu::forward(rectified, pre);
       }, {}},
      {"relu backward 60000x128", [&] { relu::backward_in_place(d_hidden, pre); }, {}},
      {"softmax 60000x10", [&] { softmax::forward(soft, logits); }, {}},
      {"predict + accuracy", [&] {
         model.predict(predictions, probabilities);
         volatile float a = accuracy::categorical(predictions, y);
         (void)a;
       }, {}},
      {"cross-entropy loss", [&] {
         volatile float l = categorical_crossentropy::calculate(probabilities, y);
         (void)l;
       }, {}},
      {"cross-entropy gradient", [&] {
         categorical_crossentropy::backward(dlogits, probabilities, y);
       }, {}},
      {"regularization loss", [&] {
         volatile float r = model::regularization_loss(model.layers);
         (void)r;
       }, {}},
      {"adam update, both layers", [&] {
         opt.update_params(l1);
         opt.update_params(l2);
       }, {}},
      // Not part of this model's epoch: the input copy that lending the
      // training set saves, and a dropout layer on the hidden activations.
      {"copy of the 60000x784 input", [&] { copy_target = x; }, {}},
      {"dropout forward 60000x128", [&] { drop.forward(dropped, l2.inputs, true); }, {}},
      {"dropout backward 60000x128", [&] {
         dropout::backward(scratch, dhidden_ref, drop.binary_mask, true);
       }, {}},
  };
  for (Item& item : items) item.work();  // warm-up: buffers reach their sizes
  std::vector<double> overhead_ratio, product_ratio;
  for (int r = 0; r < rounds; ++r) {
    for (Item& item : items) item.seconds.push_back(seconds_of(item.work));
    auto last = [&](int i) { return items[i].seconds.back(); };
    const double raw = last(7) + last(8) + last(9) + last(10);
    const double layer = last(1) + last(2) + (last(3) - last(5)) + (last(4) - last(6));
    product_ratio.push_back(raw / layer);
    overhead_ratio.push_back((last(0) - raw) / raw);
  }

  auto med = [&](int i) { return median(items[i].seconds); };
  const double f1 = 2.0 * kSamples * kFeatures * kHidden;
  const double f2 = 2.0 * kSamples * kHidden * kClasses;
  struct Row { const char* name; double flops; double layer; double raw; };
  const Row rows[] = {
      {items[1].name.c_str(), f1, med(1), med(7)},
      {items[2].name.c_str(), f2, med(2), med(8)},
      {items[3].name.c_str(), 2 * f2, med(3) - med(5), med(9)},
      {items[4].name.c_str(), f1, med(4) - med(6), med(10)},
  };
  std::printf("\n%-36s %9s %9s %10s %9s %7s\n", "product (layer call)", "layer ms", "raw ms",
              "layer GF/s", "raw GF/s", "ratio");
  for (const Row& r : rows) {
    std::printf("%-36s %9.2f %9.2f %10.1f %9.1f %6.1f%%\n", r.name, r.layer * 1e3, r.raw * 1e3,
                r.flops / r.layer * 1e-9, r.flops / r.raw * 1e-9, 100.0 * r.raw / r.layer);
  }
  std::printf("all products: layer calls reach %.1f%% of raw sgemm (median of per-round ratios)\n",
              100.0 * median(product_ratio));

  const double raw_products = med(7) + med(8) + med(9) + med(10);
  std::printf("\n%-36s %9s %14s\n", "element-wise stage", "ms", "% of products");
  for (std::size_t i = 11; i < items.size(); ++i) {
    std::printf("%-36s %9.2f %13.1f%%\n", items[i].name.c_str(), med(static_cast<int>(i)) * 1e3,
                100.0 * med(static_cast<int>(i)) / raw_products);
  }
  std::printf("\nepoch %.2f ms, raw products %.2f ms: everything but the products costs %.1f%% "
              "of the product time (median of per-round ratios)\n",
              med(0) * 1e3, raw_products * 1e3, 100.0 * median(overhead_ratio));
  std::printf("dropout forward vs the 60000x784x128 product: %.1f%%\n",
              100.0 * med(20) / med(7));
  return 0;
}
