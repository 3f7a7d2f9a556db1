// Functions that load a model from its file.
#include "bindings/functions.hpp"

#include <string>

#include "bindings/args.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/types.hpp"
#include "persistence/model_file.hpp"

namespace kemb::bindings {
namespace {

// The file is opened, read and parsed without the interpreter lock, which
// is retaken to run signal handlers (a blocked open, every 100 ms or 64 MiB
// of reading) and to wrap the record: Ctrl-C ends a load of an endless or
// stalled input with KeyboardInterrupt and creates nothing.
template <typename Load>
PyObject* load_model(PyObject* args, PyObject* kwargs, const char* format, Load load) {
  KEMB_KEYWORDS("save_best_params");
  PyObject* path_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &path_arg)) return nullptr;
  return guarded([&]() -> PyObject* {
    const std::string path = to_text(path_arg, "save_best_params");
    return wrap(without_gil([&](ReleasedGil& gil) {
      return load(path, [&gil] { gil.check_signals(); });
    }));
  });
}

}  // namespace

PyObject* load_linear_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return load_model(args, kwargs, "O:load_linear_model", persistence::load_linear_model);
}

PyObject* load_categorical_model(PyObject*, PyObject* args, PyObject* kwargs) {
  return load_model(args, kwargs, "O:load_categorical_model",
                    persistence::load_categorical_model);
}

}  // namespace kemb::bindings
