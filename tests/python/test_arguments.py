"""Argument conversion at the module boundary: what each argument kind accepts, the exact
TypeError / OverflowError of the first argument (in signature order) that it refuses, and
arrays of any layout read in logical order."""

import math
import pathlib

import kemb
import numpy as np
import pytest

import model_files as mf
from conftest import NONE, outcome

LIN = kemb.add_linear_model_layer(kemb.create_linear_model("linear", ""), 2, 1, "dense")
CAT = kemb.create_categorical_model("softmax", "")
OPT = kemb.create_optimizer("adam", 0.001, 0.0)
add_lin, add_cat = kemb.add_linear_model_layer, kemb.add_categorical_model_layer
train_lin, train_cat = kemb.train_linear_model, kemb.train_categorical_model
eval_lin, eval_cat = kemb.evaluate_linear_model, kemb.evaluate_categorical_model
U64 = "is out of range (0 to 18446744073709551615)"
U16 = "is out of range (0 to 65535)"


def f32(*shape):
    return np.arange(int(np.prod(shape)), dtype=np.float32).reshape(shape)


def i32(n):
    return np.zeros(n, np.int32)


def read_only(array):  # a view of immutable bytes
    return np.frombuffer(array.tobytes(), array.dtype).reshape(array.shape)


Floaty = type("Floaty", (), {"__float__": lambda self: 0.25})
Indexy = type("Indexy", (), {"__index__": lambda self: 3})


@pytest.mark.parametrize("call", [
    lambda: kemb.create_linear_model("Ünïcode ✓", "dir/ä.json"),
    lambda: kemb.create_categorical_model(save_best_params="", output_type="no such output"),
    lambda: add_lin(model=LIN, layer_type="dense", n_neurons=2, n_inputs=3),
    lambda: add_cat(CAT, layer_type="dropout", dropout_rate=1),
    lambda: add_cat(CAT, n_inputs=True, n_neurons=Indexy(), dropout_rate=Floaty()),
    lambda: add_lin(LIN, 2**64 - 1, 0, dropout_rate=-3.0),
    lambda: add_lin(LIN, dropout_rate=math.nan, layer_type="Dense", activation_type=""),
    lambda: kemb.create_optimizer("no such rule", Floaty(), True),
    lambda: kemb.create_optimizer("tf_adam", math.inf, math.nan),
    # Zero epochs train nothing, and a zero print_freq fails after conversion.
    lambda: train_lin(LIN, OPT, 0, 0, f32(2, 2), f32(2), NONE, f32(2)),
    lambda: train_lin(LIN, OPT, 0, 65535, f32(2, 2), f32(2), NONE, f32(2)),
    lambda: train_lin(LIN, OPT, 65535, 0, f32(2, 2), f32(2), NONE, f32(2)),
    lambda: train_cat(CAT, OPT, 0, 1, f32(4, 2), i32(8)[::2], f32(4, 2).T, read_only(i32(4))),
    lambda: eval_cat(model=CAT, val_x=f32(4, 2), val_y=np.zeros(4, "=i4")),
])
def test_accepted(call):
    result = outcome(call)
    assert not result.startswith(("TypeError", "OverflowError")), result


def test_each_call_returns_a_new_object_of_the_model_kind():
    for model, add in ((LIN, add_lin), (CAT, add_cat)):
        new = add(model, 2, 3, "dense")
        assert type(new) is type(model) and new is not model and add(model) is not new


BAD = np.zeros((2, 2))
M = "a 2-dimensional numpy.ndarray of float32"
V = "a 1-dimensional numpy.ndarray of float32"
L = "a 1-dimensional numpy.ndarray of int32"
S, N, R = "str", "a non-negative integer", "a real number"


def T(argument, expected, got):
    return f"TypeError: argument '{argument}': expected {expected}, got {got}"


@pytest.mark.parametrize("call, message", [
    (lambda: kemb.create_linear_model(None, ""), T("output_type", S, "NoneType")),
    (lambda: kemb.create_categorical_model("linear", 3.5), T("save_best_params", S, "float")),
    (lambda: add_lin(LIN, 2.0), T("n_inputs", N, "float")),
    (lambda: add_lin(LIN, -1, dropout_rate="bad"), f"OverflowError: -1 {U64}"),
    (lambda: add_lin(LIN, 10**60), f"OverflowError: 100000000000000000...000000000000000000 {U64}"),
    (lambda: add_lin(LIN, n_neurons=2**64), f"OverflowError: 18446744073709551616 {U64}"),
    (lambda: add_lin(LIN, 1, 1.5, layer_type=7), T("n_neurons", N, "float")),
    (lambda: add_lin(LIN, layer_type=1), T("layer_type", S, "int")),
    (lambda: add_cat(CAT, activation_type=b"relu"), T("activation_type", S, "bytes")),
    (lambda: add_lin(LIN, dropout_rate="0.5"), T("dropout_rate", R, "str")),
    (lambda: add_lin(LIN, dropout_rate=10**400),
     "OverflowError: int too large to convert to float"),
    (lambda: add_lin(CAT), T("model", "LinearModel", "CategoricalModel")),
    (lambda: add_cat(LIN), T("model", "CategoricalModel", "LinearModel")),
    (lambda: kemb.create_optimizer(None, 0.1, 0.0), T("opt_type", S, "NoneType")),
    (lambda: kemb.create_optimizer("adam", "0.1", 0.0), T("learning_rate", R, "str")),
    (lambda: kemb.create_optimizer("adam", 0.1, 1j), T("decay", R, "complex")),
    # Training converts its arguments in signature order.
    (lambda: train_lin(CAT, "opt", -1, 1.5, BAD, BAD, BAD, BAD),
     T("model", "LinearModel", "CategoricalModel")),
    (lambda: train_cat(CAT, LIN, -1, 1.5, BAD, BAD, BAD, BAD),
     T("opt", "DynamicOptimizer", "LinearModel")),
    (lambda: train_lin(LIN, OPT, -1, 1.5, BAD, BAD, BAD, BAD), f"OverflowError: -1 {U16}"),
    (lambda: train_lin(LIN, OPT, 65536, 1, BAD, BAD, BAD, BAD), f"OverflowError: 65536 {U16}"),
    (lambda: train_cat(CAT, OPT, 1.0, 1, BAD, BAD, BAD, BAD), T("num_epochs", N, "float")),
    (lambda: train_lin(LIN, OPT, 1, 65536, BAD, BAD, BAD, BAD), f"OverflowError: 65536 {U16}"),
    (lambda: train_cat(CAT, OPT, 1, "1", BAD, BAD, BAD, BAD), T("print_freq", N, "str")),
    (lambda: train_lin(LIN, OPT, 1, 1, BAD, BAD, BAD, BAD), T("x", M, "an array of float64")),
    (lambda: train_lin(LIN, OPT, 1, 1, [[1.0]], BAD, BAD, BAD), T("x", M, "list")),
    (lambda: train_lin(LIN, OPT, 1, 1, np.zeros((2, 2), ">f4"), BAD, BAD, BAD),
     T("x", M, "an array of >f4")),
    (lambda: train_lin(LIN, OPT, 1, 1, f32(2, 2), BAD, BAD, BAD),
     T("y", V, "an array with 2 dimensions")),
    (lambda: train_lin(LIN, OPT, 1, 1, f32(2, 2), i32(2), 0, 0), T("y", V, "an array of int32")),
    (lambda: train_lin(LIN, OPT, 1, 1, f32(2, 2), f32(2), f32(2), BAD),
     T("val_x", M, "an array with 1 dimension")),
    (lambda: train_lin(LIN, OPT, 1, 1, f32(2, 2), f32(2), NONE, np.zeros(2, ">f4")),
     T("val_y", V, "an array of >f4")),
    (lambda: train_cat(CAT, OPT, 1, 1, f32(2, 2), np.zeros(2, np.int64), BAD, BAD),
     T("y", L, "an array of int64")),
    (lambda: train_cat(CAT, OPT, 1, 1, f32(2, 2), np.zeros((2, 1), np.int32), BAD, BAD),
     T("y", L, "an array with 2 dimensions")),
    (lambda: train_cat(CAT, OPT, 1, 1, f32(2, 2), i32(2), NONE, np.zeros(2, ">i4")),
     T("val_y", L, "an array of >i4")),
    (lambda: eval_lin(LIN, f32(2, 2), i32(2)), T("val_y", V, "an array of int32")),
    (lambda: eval_cat(LIN, BAD, BAD), T("model", "CategoricalModel", "LinearModel")),
    (lambda: eval_cat(CAT, f32(2), BAD), T("val_x", M, "an array with 1 dimension")),
    (lambda: kemb.load_linear_model(pathlib.Path("m.json")), T("save_best_params", S, "PosixPath")),
    (lambda: kemb.load_categorical_model(b"m.json"), T("save_best_params", S, "bytes")),
])
def test_refused_with_the_first_failing_argument(call, message):
    assert outcome(call) == message


@pytest.mark.parametrize("call, function", [
    (lambda: kemb.create_linear_model(output_type="linear", path=""), "create_linear_model"),
    (lambda: add_cat(CAT, nope=1), "add_categorical_model_layer"),
    (lambda: kemb.create_optimizer("adam", 0.1), "create_optimizer"),
    (lambda: train_lin(LIN, OPT, 1, 1, BAD, BAD, BAD), "train_linear_model"),
    (lambda: train_cat(CAT, OPT, 1, 1, BAD, BAD, BAD, BAD, BAD), "train_categorical_model"),
    (lambda: eval_lin(LIN, BAD), "evaluate_linear_model"),
])
def test_argument_matching_errors_name_the_function(call, function):
    result = outcome(call)
    assert result.startswith("TypeError: ") and f"{function}()" in result, result


# Arrays whose strides differ from a contiguous copy of theirs.
@pytest.mark.parametrize("position, make", [
    ("x", lambda: f32(2, 4).T), ("x", lambda: f32(8, 6)[::2, 1:5:2]),
    ("x", lambda: f32(4, 2)[::-1, ::-1]), ("x", lambda: f32(4, 2).view(np.matrix)),
    ("x", lambda: np.broadcast_to(np.float32(1), (4, 2))), ("y", lambda: f32(8)[::2]),
    ("y", lambda: f32(4)[::-1]), ("y", lambda: read_only(f32(4)))],
    ids=["transposed", "sliced", "negative-strides", "subclass", "broadcast", "vector-sliced",
         "vector-negative-strides", "vector-read-only"])
def test_any_layout_reads_as_its_logical_values(tmp_path, capfd, position, make):
    """The report, which depends on every value, equals that of a contiguous copy."""
    weighted = kemb.load_linear_model(mf.write(tmp_path / "m.json", mf.linear_model(
        [mf.layer("dense", weights=[[0.5], [-0.25]], biases=[0.125])])))
    reports = []
    for array in (make(), np.ascontiguousarray(make())):
        args = {"x": f32(4, 2), "y": f32(4), position: array}
        kemb.evaluate_linear_model(weighted, args["x"], args["y"])
        reports.append(capfd.readouterr().out)
    assert reports[0] == reports[1] and reports[0].count("\n") == 5
