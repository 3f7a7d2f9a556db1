// Row-wise softmax, the output of CategoricalModel.
#pragma once

#include "tensor/matrix.hpp"

namespace kemb::softmax {

// z: (n_samples, n_classes) -> out: (n_samples, n_classes)
// Per row: m = first maximum (left-to-right scan, replaced only by a strictly
// greater value), e = expf(z - m), out = e / sum(e). A NaN in a row makes the
// row NaN. "called `Option::unwrap()` on a `None` value" for a matrix with
// rows but no columns. `out` may alias `z`.
void forward(tensor::Matrix& out, const tensor::Matrix& z);

}  // namespace kemb::softmax
