"""The module surface: functions, signatures, docstrings, classes and
PanicException."""

import inspect

import kemb
import pytest

from conftest import run_script

FUNCTIONS = {
    "create_linear_model": "(output_type, save_best_params)",
    "create_categorical_model": "(output_type, save_best_params)",
    "add_linear_model_layer": "(model, n_inputs=None, n_neurons=None, layer_type=None, "
    "activation_type=None, dropout_rate=None)",
    "add_categorical_model_layer": "(model, n_inputs=None, n_neurons=None, layer_type=None, "
    "activation_type=None, dropout_rate=None)",
    "create_optimizer": "(opt_type, learning_rate, decay)",
    "train_linear_model": "(model, opt, num_epochs, print_freq, x, y, val_x, val_y)",
    "train_categorical_model": "(model, opt, num_epochs, print_freq, x, y, val_x, val_y)",
    "load_linear_model": "(save_best_params)",
    "evaluate_linear_model": "(model, val_x, val_y)",
    "load_categorical_model": "(save_best_params)",
    "evaluate_categorical_model": "(model, val_x, val_y)",
}

CATEGORICAL_DOC = "\n".join([
    "Create a model for categorical outcome data comprised of the",
    "cells specified in `layers`. Output types options are:",
    "- `softmax`     (varn::activation::softmax)",
    "\\n Loss type options are:",
    "- `categorical_crossentropy` (varn::loss::categorical_crossentropy)",
    "\\n Accuracy type options are:",
    "- `categorical` (varn::accuracy::categorical)",
    "\\n The `save_best_params` argument specifies where to save",
    "the best weights, if desired. `.json` is the supported file",
    "extension for saved models.",
])

LINEAR_DOC_TAIL = "\n".join([
    "cells specified in `layers`. Output types options are:",
    "- `linear` (varn::activation::linear)",
    "\\n Loss type options are:",
    "- `mean_squared_error` (varn::loss::mean_squared_error)",
    "\\n Accuracy type options are:",
    "- `linear` (varn::accuracy::linear)",
    "\\n The `save_best_params` argument specifies where to save",
    "the best weights, if desired. `.json` is the supported file",
    "extension for saved models.",
])

OPTIMIZER_DOC = "\n".join([
    "Dynamic optimizer struct that can be either of `opt_type`",
    "`adam` or `sgd`, which correspond to the parameter update",
    "methods used in `varn::optimizer::adam` and",
    "`varn::optimizer::sgd`, respectively.",
])


def test_all_lists_the_eleven_functions_in_order():
    assert kemb.__all__ == list(FUNCTIONS)
    assert isinstance(kemb.__all__, list)
    public = [name for name in vars(kemb) if not name.startswith("__")]
    assert public == list(FUNCTIONS)
    assert kemb.__doc__ == ""


@pytest.mark.parametrize("name, signature", FUNCTIONS.items())
def test_function_signature_and_docstring(name, signature):
    function = getattr(kemb, name)
    assert function.__module__ == "kemb"
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    # The docstring is the text signature alone.
    assert function.__doc__ is None
    for parameter in inspect.signature(function).parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


def test_wildcard_import_brings_exactly_the_functions():
    namespace = {}
    exec("from kemb import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(FUNCTIONS)


def make_linear():
    return kemb.create_linear_model("linear", "")


def make_categorical():
    return kemb.create_categorical_model("softmax", "")


def make_optimizer():
    return kemb.create_optimizer("adam", 0.001, 0.0)


CLASSES = [
    ("LinearModel", make_linear),
    ("CategoricalModel", make_categorical),
    ("DynamicOptimizer", make_optimizer),
]


@pytest.mark.parametrize("name, make", CLASSES)
def test_classes_have_no_constructor_and_no_attributes(name, make):
    obj = make()
    cls = type(obj)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert not hasattr(kemb, name)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    own = set(vars(cls)) - {"__doc__", "__module__", "__new__", "__dealloc__"}
    assert not {n for n in own if not n.startswith("__")}
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.layers = []
    assert type(make()) is cls  # one type object per process


def test_class_docstrings():
    assert type(make_categorical()).__doc__ == CATEGORICAL_DOC
    linear_doc = type(make_linear()).__doc__
    first, rest = linear_doc.split("\n", 1)
    assert rest == LINEAR_DOC_TAIL
    assert first.startswith("Create a model for") and first.endswith("comprised of the")
    assert type(make_optimizer()).__doc__ == OPTIMIZER_DOC


def panic_type():
    try:
        kemb.load_linear_model("/nonexistent/kemb-test/model.json")
    except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
        return type(error)
    raise AssertionError("expected a PanicException")


def test_panic_exception_identity():
    panic = panic_type()
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__qualname__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic_type() is panic  # created once


def test_second_initialisation_is_refused():
    result = run_script(
        """
        import sys
        import kemb
        del sys.modules["kemb"]
        try:
            import kemb
        except ImportError as error:
            print("ImportError", error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError ")


def test_import_raises_no_warning():
    result = run_script("import kemb, numpy as np; kemb.evaluate_linear_model", env={"PYTHONWARNINGS": "error"})
    assert result.returncode == 0, result.stderr
    result = run_script(
        """
        import warnings
        warnings.simplefilter("error")
        import kemb, numpy as np
        try:
            kemb.evaluate_linear_model(kemb.create_linear_model("linear", ""),
                                       np.zeros((1, 1), np.float32), np.zeros(1, np.float32))
        except BaseException as error:
            print(type(error).__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "Warning" not in result.stdout
