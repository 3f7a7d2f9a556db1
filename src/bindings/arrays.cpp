// NumPy C API access and strided copies of array arguments.
#include "bindings/arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kemb_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstring>
#include <string>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/py_ref.hpp"

namespace kemb::bindings {

using tensor::CheckedAllocator;
using tensor::Labels;
using tensor::Matrix;
using tensor::resize_checked;
using tensor::Vector;

namespace {

// Loads the NumPy C API from the capsule `_ARRAY_API`. NumPy 2 keeps it in
// numpy._core.multiarray; NumPy 1.x in numpy.core.multiarray. Asking for the
// new name first means NumPy 2 never sees the deprecated one.
void load_numpy_api() {
  if (PyArray_API != nullptr) return;
  PyRef module(PyImport_ImportModule("numpy._core.multiarray"));
  if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();
    module = PyRef(PyImport_ImportModule("numpy.core.multiarray"));
  }
  if (!module) throw PythonErrorSet{};
  PyRef capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) throw PythonErrorSet{};
  if (!PyCapsule_CheckExact(capsule.get())) {
    raise_python(PyExc_ImportError, "numpy's _ARRAY_API is not a capsule");
  }
  auto** api = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (api == nullptr) throw PythonErrorSet{};
  PyArray_API = api;
  // The header's own checks: the running NumPy must offer at least the C API
  // version this module was compiled for.
  const int abi = static_cast<int>(PyArray_GetNDArrayCVersion());
  const int feature = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (abi > NPY_VERSION || feature < NPY_FEATURE_VERSION) {
    PyArray_API = nullptr;
    raise_python(PyExc_ImportError,
                 "kemb needs NumPy " NPY_FEATURE_VERSION_STRING " or newer (C API version mismatch)");
  }
  PyArray_RUNTIME_VERSION = feature;
}

int dimensions_of(ArrayKind kind) { return kind == ArrayKind::float_matrix ? 2 : 1; }
int type_number_of(ArrayKind kind) { return kind == ArrayKind::label_vector ? NPY_INT32 : NPY_FLOAT32; }
const char* dtype_name_of(ArrayKind kind) {
  return kind == ArrayKind::label_vector ? "int32" : "float32";
}

std::string expected_text(ArrayKind kind) {
  return std::string("a ") + std::to_string(dimensions_of(kind)) + "-dimensional numpy.ndarray of " +
         dtype_name_of(kind);
}

std::string dtype_text(PyObject* obj) {
  PyRef dtype(PyObject_GetAttrString(obj, "dtype"));
  PyRef text(dtype ? PyObject_Str(dtype.get()) : nullptr);
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "another dtype";
  }
  return utf8;
}

PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }

// Copies n elements of `size` bytes, `stride` bytes apart, into dst.
void copy_strided(char* dst, const char* src, npy_intp n, npy_intp stride, std::size_t size) {
  if (stride == static_cast<npy_intp>(size)) {
    std::memcpy(dst, src, static_cast<std::size_t>(n) * size);
    return;
  }
  for (npy_intp i = 0; i < n; ++i) std::memcpy(dst + i * size, src + i * stride, size);
}

template <typename T>
void copy_vector_into(PyObject* obj, std::vector<T, CheckedAllocator<T>>& out) {
  PyArrayObject* array = as_array(obj);
  const npy_intp n = PyArray_DIM(array, 0);
  resize_checked(out, static_cast<std::size_t>(n));
  if (n == 0) return;
  copy_strided(reinterpret_cast<char*>(out.data()), static_cast<const char*>(PyArray_DATA(array)), n,
               PyArray_STRIDE(array, 0), sizeof(T));
}

}  // namespace

void check_array(PyObject* obj, const char* name, ArrayKind kind) {
  load_numpy_api();
  if (!PyArray_Check(obj)) {
    raise_argument_type_error(name, "expected " + expected_text(kind) + ", got " + type_name(obj));
  }
  PyArrayObject* array = as_array(obj);
  if (PyArray_NDIM(array) != dimensions_of(kind)) {
    raise_argument_type_error(name, "expected " + expected_text(kind) + ", got an array with " +
                                        std::to_string(PyArray_NDIM(array)) + " dimension" +
                                        (PyArray_NDIM(array) == 1 ? "" : "s"));
  }
  PyArray_Descr* wanted = PyArray_DescrFromType(type_number_of(kind));
  if (wanted == nullptr) throw PythonErrorSet{};
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted);
  Py_DECREF(wanted);
  if (!equivalent) {
    raise_argument_type_error(name, "expected " + expected_text(kind) + ", got an array of " +
                                        dtype_text(obj));
  }
}

MatrixShape matrix_shape(PyObject* obj) {
  PyArrayObject* array = as_array(obj);
  return {static_cast<std::size_t>(PyArray_DIM(array, 0)),
          static_cast<std::size_t>(PyArray_DIM(array, 1))};
}

Matrix copy_float_matrix(PyObject* obj) {
  PyArrayObject* array = as_array(obj);
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp cols = PyArray_DIM(array, 1);
  Matrix out(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols));
  if (out.size() == 0) return out;
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  for (npy_intp i = 0; i < rows; ++i) {
    copy_strided(reinterpret_cast<char*>(out.row(static_cast<std::size_t>(i))), base + i * row_stride,
                 cols, col_stride, sizeof(float));
  }
  return out;
}

Vector copy_float_vector(PyObject* obj) {
  Vector out;
  copy_vector_into(obj, out.data);
  return out;
}

Labels copy_labels(PyObject* obj) {
  Labels out;
  copy_vector_into(obj, out);
  return out;
}

}  // namespace kemb::bindings
