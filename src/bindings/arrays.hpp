// NumPy array arguments: the three array kinds, their checks and their
// copies into owned Matrix, Vector and Labels. Only this file's source
// includes the NumPy headers; the NumPy C API is loaded on first use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tensor/matrix.hpp"

namespace kemb::bindings {

enum class ArrayKind {
  float_matrix,  // 2-D float32
  float_vector,  // 1-D float32
  label_vector,  // 1-D int32
};

// Checks that obj is a NumPy array of the kind (exact number of dimensions,
// element type equivalent to the kind's, native byte order); otherwise
// TypeError naming the parameter. Any strides are accepted.
void check_array(PyObject* obj, const char* name, ArrayKind kind);

// The shape of a 2-D array that passed check_array.
struct MatrixShape {
  std::size_t rows;
  std::size_t cols;
};
MatrixShape matrix_shape(PyObject* obj);

// Copies of arrays that passed check_array, elements in logical order
// whatever the strides: element (i, j) of the copy is element (i, j) of the
// array.
tensor::Matrix copy_float_matrix(PyObject* obj);
tensor::Vector copy_float_vector(PyObject* obj);
tensor::Labels copy_labels(PyObject* obj);

}  // namespace kemb::bindings
