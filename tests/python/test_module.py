"""The module surface: functions and their signatures, the three classes with
their fixed docstrings, PanicException, and the import itself."""

import inspect

import kemb
import pytest

from conftest import outcome, run_script

ADD = ("(model, n_inputs=None, n_neurons=None, layer_type=None, activation_type=None, "
       "dropout_rate=None)")
TRAIN = "(model, opt, num_epochs, print_freq, x, y, val_x, val_y)"
FUNCTIONS = {  # in the module's order
    "create_linear_model": "(output_type, save_best_params)",
    "create_categorical_model": "(output_type, save_best_params)",
    "add_linear_model_layer": ADD, "add_categorical_model_layer": ADD,
    "create_optimizer": "(opt_type, learning_rate, decay)",
    "train_linear_model": TRAIN, "train_categorical_model": TRAIN,
    "load_linear_model": "(save_best_params)", "evaluate_linear_model": "(model, val_x, val_y)",
    "load_categorical_model": "(save_best_params)",
    "evaluate_categorical_model": "(model, val_x, val_y)",
}

# The model docstrings share everything but their kind's selector lines.
MODEL_DOC = """cells specified in `layers`. Output types options are:
- {output}
\\n Loss type options are:
- `{loss}` (varn::loss::{loss})
\\n Accuracy type options are:
- `{acc}` (varn::accuracy::{acc})
\\n The `save_best_params` argument specifies where to save
the best weights, if desired. `.json` is the supported file
extension for saved models."""
CATEGORICAL_DOC = "Create a model for categorical outcome data comprised of the\n" + MODEL_DOC.format(
    output="`softmax`     (varn::activation::softmax)", loss="categorical_crossentropy",
    acc="categorical")
LINEAR_DOC_TAIL = MODEL_DOC.format(output="`linear` (varn::activation::linear)",
                                   loss="mean_squared_error", acc="linear")
OPTIMIZER_DOC = """Dynamic optimizer struct that can be either of `opt_type`
`adam` or `sgd`, which correspond to the parameter update
methods used in `varn::optimizer::adam` and
`varn::optimizer::sgd`, respectively."""


def test_the_eleven_functions_in_order_with_their_signatures():
    assert kemb.__doc__ == ""
    assert kemb.__all__ == list(FUNCTIONS)
    assert [name for name in vars(kemb) if not name.startswith("__")] == list(FUNCTIONS)
    for name, signature in FUNCTIONS.items():
        function = getattr(kemb, name)
        assert (function.__module__, function.__name__) == ("kemb", name)
        assert function.__text_signature__ == signature and function.__doc__ is None
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
                   for p in inspect.signature(function).parameters.values())


@pytest.mark.parametrize("name, make, doc", [
    ("LinearModel", lambda: kemb.create_linear_model("linear", ""), None),
    ("CategoricalModel", lambda: kemb.create_categorical_model("softmax", ""), CATEGORICAL_DOC),
    ("DynamicOptimizer", lambda: kemb.create_optimizer("adam", 0.001, 0.0), OPTIMIZER_DOC),
])
def test_classes_have_their_doc_and_no_constructor_or_attributes(name, make, doc):
    obj = make()
    cls = type(obj)
    assert (cls.__name__, cls.__qualname__, cls.__bases__) == (name, name, (object,))
    if doc is None:  # line 1 of the linear docstring is ours to word
        first, rest = cls.__doc__.split("\n", 1)
        assert first.startswith("Create a model for") and rest == LINEAR_DOC_TAIL
    else:
        assert cls.__doc__ == doc
    assert not hasattr(kemb, name)
    assert outcome(cls) == "TypeError: No constructor defined"
    assert not [n for n in vars(cls) if not n.startswith("__")]
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.layers = []
    assert type(make()) is cls and make() is not make()  # one type; a new object per call


def test_panic_exception_identity():
    panics = []
    for _ in range(2):  # the type is created once
        with pytest.raises(BaseException) as raised:
            kemb.load_linear_model("/nonexistent/kemb-test/model.json")
        panics.append(raised.type)
    assert (panics[0].__module__, panics[0].__qualname__, panics[0].__bases__) == \
        ("pyo3_runtime", "PanicException", (BaseException,)) and panics[1] is panics[0]


def test_import_warns_nothing_and_a_second_initialisation_is_refused():
    result = run_script(
        """
        import sys, warnings
        warnings.simplefilter("error")
        import kemb, numpy as np
        try:  # the first array argument loads NumPy's C API
            kemb.evaluate_linear_model(kemb.create_linear_model("linear", ""),
                                       np.zeros((1, 1), np.float32), np.zeros(1, np.float32))
        except BaseException as error:
            print(type(error).__name__)
        del sys.modules["kemb"]
        try:
            import kemb
        except ImportError as error:
            print("ImportError:", error)
        """, env={"PYTHONWARNINGS": "error"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == \
        "ImportError: kemb may only be initialised once per interpreter process"
    assert "Warning" not in result.stdout
