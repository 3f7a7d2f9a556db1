// Adam updates. When the state arrays have the parameters' shapes (always,
// except for a model file whose arrays disagree) one fused loop per array
// gives every element the same float32 operations, in the same order, as the
// step-by-step rule; otherwise the rule runs step by step with every read
// bounds-checked.
#include "optimizer/adam.hpp"

#include <cmath>
#include <cstdint>

#include "tensor/elementwise.hpp"

namespace kemb::adam {

using tensor::Matrix;
using tensor::Rows;
using tensor::Vector;

namespace {

bool same_shape(const Matrix& a, const Matrix& b) { return a.rows == b.rows && a.cols == b.cols; }

// The scalars of one call, computed once.
struct Coefficients {
  float b1, b2, eps, one_minus_b1, one_minus_b2;
};

Coefficients coefficients(const DynamicOptimizer& opt) {
  return {opt.beta_1, opt.beta_2, opt.epsilon, 1.0f - opt.beta_1, 1.0f - opt.beta_2};
}

// state: (rows, cols), gradient read at the same 2-D positions (a bias
// vector is one row).
// First moment: (g x (1 - b1)) + (m x b1); second: ((g x g) x (1 - b2)) + (v x b2).
void update_moment(Rows<float> state, Rows<const float> gradient, float one_minus_beta,
                   float beta, bool squared) {
  tensor::check_covers(gradient, state.rows, state.cols);
  for (std::size_t i = 0; i < state.rows; ++i) {
    float* s = state.row(i);
    const float* g = gradient.row(i);
    for (std::size_t j = 0; j < state.cols; ++j) {
      const float x = squared ? g[j] * g[j] : g[j];
      s[j] = (x * one_minus_beta) + (s[j] * beta);
    }
  }
}

// Working copy with every element divided by c.
Matrix divided(Rows<const float> m, float c) {
  Matrix out(m.rows, m.cols);
  for (std::size_t i = 0; i < m.rows; ++i) {
    for (std::size_t j = 0; j < m.cols; ++j) out(i, j) = m.row(i)[j] / c;
  }
  return out;
}

// params: (rows, cols), moments and cache read at the same 2-D positions.
// Adam adds (m x -lr) / (sqrt(v) + eps) to each parameter, TF-style Adam
// subtracts (m x a) / (sqrt(v) + eps).
template <bool kSubtract>
void step_checked(Rows<float> params, Rows<const float> m, Rows<const float> v, float factor,
                  float eps) {
  tensor::check_covers(m, params.rows, params.cols);
  tensor::check_covers(v, params.rows, params.cols);
  for (std::size_t i = 0; i < params.rows; ++i) {
    float* p = params.row(i);
    for (std::size_t j = 0; j < params.cols; ++j) {
      const float step = (m.row(i)[j] * factor) / (std::sqrt(v.row(i)[j]) + eps);
      p[j] = kSubtract ? p[j] - step : p[j] + step;
    }
  }
}

// The rule exactly as written, for state arrays whose shapes disagree with
// the parameters.
void update_checked(const Coefficients& k, float neg_lr, float c1, float c2, Layer& layer) {
  update_moment(rows_of(layer.weight_momentums), rows_of(layer.dweights), k.one_minus_b1, k.b1,
                false);
  update_moment(rows_of(layer.bias_momentums), rows_of(layer.dbiases), k.one_minus_b1, k.b1,
                false);
  const Matrix corrected_wm = divided(rows_of(layer.weight_momentums), c1);
  const Matrix corrected_bm = divided(rows_of(layer.bias_momentums), c1);
  update_moment(rows_of(layer.weight_cache), rows_of(layer.dweights), k.one_minus_b2, k.b2, true);
  update_moment(rows_of(layer.bias_cache), rows_of(layer.dbiases), k.one_minus_b2, k.b2, true);
  const Matrix corrected_wc = divided(rows_of(layer.weight_cache), c2);
  const Matrix corrected_bc = divided(rows_of(layer.bias_cache), c2);
  step_checked<false>(rows_of(layer.weights), rows_of(corrected_wm), rows_of(corrected_wc), neg_lr,
                      k.eps);
  step_checked<false>(rows_of(layer.biases), rows_of(corrected_bm), rows_of(corrected_bc), neg_lr,
                      k.eps);
}

// The TF-style rule exactly as written, for state arrays whose shapes
// disagree with the parameters: weights completely, then biases.
void update_checked_tf(const Coefficients& k, float a, Layer& layer) {
  update_moment(rows_of(layer.weight_momentums), rows_of(layer.dweights), k.one_minus_b1, k.b1,
                false);
  update_moment(rows_of(layer.weight_cache), rows_of(layer.dweights), k.one_minus_b2, k.b2, true);
  step_checked<true>(rows_of(layer.weights), rows_of(layer.weight_momentums),
                     rows_of(layer.weight_cache), a, k.eps);
  update_moment(rows_of(layer.bias_momentums), rows_of(layer.dbiases), k.one_minus_b1, k.b1,
                false);
  update_moment(rows_of(layer.bias_cache), rows_of(layer.dbiases), k.one_minus_b2, k.b2, true);
  step_checked<true>(rows_of(layer.biases), rows_of(layer.bias_momentums),
                     rows_of(layer.bias_cache), a, k.eps);
}

// One parameter array and its state, all of n elements with the gradient
// read at `g`: momentum, cache, corrected copies and the step, per element.
void update_fused(float* p, float* m, float* v, const float* g, std::size_t n,
                  const Coefficients& k, float neg_lr, float c1, float c2) {
  for (std::size_t j = 0; j < n; ++j) {
    const float mj = (g[j] * k.one_minus_b1) + (m[j] * k.b1);
    const float vj = ((g[j] * g[j]) * k.one_minus_b2) + (v[j] * k.b2);
    m[j] = mj;
    v[j] = vj;
    const float corrected_m = mj / c1;
    const float corrected_v = vj / c2;
    p[j] = p[j] + ((corrected_m * neg_lr) / (std::sqrt(corrected_v) + k.eps));
  }
}

// TF-style: the same moments, then parameter - (m x a) / (sqrt(v) + eps).
void update_fused_tf(float* p, float* m, float* v, const float* g, std::size_t n,
                     const Coefficients& k, float a) {
  for (std::size_t j = 0; j < n; ++j) {
    const float mj = (g[j] * k.one_minus_b1) + (m[j] * k.b1);
    const float vj = ((g[j] * g[j]) * k.one_minus_b2) + (v[j] * k.b2);
    m[j] = mj;
    v[j] = vj;
    p[j] = p[j] - ((mj * a) / (std::sqrt(vj) + k.eps));
  }
}

// True when the state has the parameters' shapes and the gradients cover
// them: the condition for the fused loops.
bool state_matches(const Layer& layer) {
  const Matrix& w = layer.weights;
  const std::size_t n = layer.biases.size();
  const bool weights_ok = same_shape(layer.weight_momentums, w) &&
                          same_shape(layer.weight_cache, w) &&
                          (w.size() == 0 || (layer.dweights.rows >= w.rows &&
                                             layer.dweights.cols >= w.cols));
  return weights_ok && layer.bias_momentums.size() == n && layer.bias_cache.size() == n &&
         layer.dbiases.size() >= n;
}

// The epoch number of the step being taken: iterations + 1 in wrapping
// 32-bit arithmetic.
std::int32_t step_number(const DynamicOptimizer& optimizer) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(optimizer.iterations) + 1u);
}

}  // namespace

float power(float base, std::int32_t t) noexcept {
  float r = (t & 1) != 0 ? base : 1.0f;
  float s = base;
  while (t >= 2) {
    s = s * s;
    if ((t & 2) != 0) r = r * s;
    t >>= 1;
  }
  return r;
}

void update_params(const DynamicOptimizer& optimizer, Layer& layer) {
  const std::int32_t t = step_number(optimizer);
  if (layer.weight_cache.empty()) {
    layer.weight_momentums = Matrix(layer.weights.rows, layer.weights.cols);
    layer.weight_cache = Matrix(layer.weights.rows, layer.weights.cols);
    layer.bias_momentums = Vector(layer.biases.size());
    layer.bias_cache = Vector(layer.biases.size());
  }
  const Coefficients k = coefficients(optimizer);
  const float neg_lr = -optimizer.current_learning_rate;
  const float c1 = 1.0f - power(k.b1, t);
  const float c2 = 1.0f - power(k.b2, t);
  if (!state_matches(layer)) {
    update_checked(k, neg_lr, c1, c2, layer);
    return;
  }
  Matrix& w = layer.weights;
  for (std::size_t i = 0; i < w.rows; ++i) {
    update_fused(w.row(i), layer.weight_momentums.row(i), layer.weight_cache.row(i),
                 layer.dweights.row(i), w.cols, k, neg_lr, c1, c2);
  }
  update_fused(layer.biases.data.data(), layer.bias_momentums.data.data(),
               layer.bias_cache.data.data(), layer.dbiases.data.data(), layer.biases.size(), k,
               neg_lr, c1, c2);
}

void update_params_tf(const DynamicOptimizer& optimizer, Layer& layer) {
  const Matrix& w = layer.weights;
  if (layer.weight_cache.empty()) layer.weight_cache = Matrix(w.rows, w.cols);
  if (layer.weight_momentums.empty()) layer.weight_momentums = Matrix(w.rows, w.cols);
  if (layer.bias_momentums.empty()) layer.bias_momentums = Vector(layer.biases.size());
  if (layer.bias_cache.empty()) layer.bias_cache = Vector(layer.biases.size());

  const std::int32_t t = step_number(optimizer);
  const Coefficients k = coefficients(optimizer);
  const float p2 = power(k.b2, t);
  const float q = std::sqrt(1.0f - p2);
  float a = q * optimizer.current_learning_rate;
  const float p1 = power(k.b1, t);
  a = a / (1.0f - p1);

  if (!state_matches(layer)) {
    update_checked_tf(k, a, layer);
    return;
  }
  for (std::size_t i = 0; i < w.rows; ++i) {
    update_fused_tf(layer.weights.row(i), layer.weight_momentums.row(i), layer.weight_cache.row(i),
                    layer.dweights.row(i), w.cols, k, a);
  }
  update_fused_tf(layer.biases.data.data(), layer.bias_momentums.data.data(),
                  layer.bias_cache.data.data(), layer.dbiases.data.data(), layer.biases.size(), k,
                  a);
}

}  // namespace kemb::adam
