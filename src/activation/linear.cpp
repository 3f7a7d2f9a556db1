// Prediction of the linear output.
#include "activation/linear.hpp"

namespace kemb::linear {

using io::throw_index_out_of_bounds;
using tensor::Matrix;
using tensor::Vector;

void predict(Vector& out, const Matrix& y) {
  if (y.rows > 0 && y.cols == 0) throw_index_out_of_bounds();
  out.resize_for_overwrite(y.rows);
  for (std::size_t i = 0; i < y.rows; ++i) out[i] = y(i, 0);
}

}  // namespace kemb::linear
