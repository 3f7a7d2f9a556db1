// Functions that load a model from its file.
#include "bindings/functions.hpp"

#include <string>

#include "bindings/args.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "io/error.hpp"

namespace kemb::bindings {
namespace {

[[noreturn]] void not_yet_available() { throw Error("not yet available"); }

PyObject* load_model(PyObject* args, PyObject* kwargs, const char* format) {
  KEMB_KEYWORDS("save_best_params");
  PyObject* path_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &path_arg)) return nullptr;
  return guarded([&]() -> PyObject* {
    const std::string path = to_text(path_arg, "save_best_params");
    (void)path;
    not_yet_available();
  });
}

}  // namespace

PyObject* load_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return load_model(args, kwargs, "O:load_linear_model");
}

PyObject* load_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return load_model(args, kwargs, "O:load_categorical_model");
}

}  // namespace kemb::bindings
