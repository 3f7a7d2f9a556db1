"""Construction functions and argument conversion: what each argument kind
accepts, and the TypeError / OverflowError for what it refuses."""

import math

import kemb
import numpy as np
import pytest


@pytest.fixture
def linear():
    return kemb.create_linear_model("linear", "")


@pytest.fixture
def categorical():
    return kemb.create_categorical_model("softmax", "")


@pytest.fixture
def opt():
    return kemb.create_optimizer("adam", 0.001, 0.0)


class Floaty:
    def __float__(self):
        return 0.25


class Indexy:
    def __index__(self):
        return 3


@pytest.mark.parametrize("create", [kemb.create_linear_model, kemb.create_categorical_model])
@pytest.mark.parametrize("output_type, path", [
    ("linear", ""), ("softmax", "m.json"), ("no such output", ""), ("Ünïcode ✓", "dir/ä.json"),
])
def test_create_model_stores_any_text(create, output_type, path):
    model = create(output_type, path)
    assert type(model).__name__ in ("LinearModel", "CategoricalModel")


@pytest.mark.parametrize("create", [kemb.create_linear_model, kemb.create_categorical_model])
@pytest.mark.parametrize("args, name", [
    ((None, ""), "output_type"),
    ((b"linear", ""), "output_type"),
    ((1, ""), "output_type"),
    (("linear", None), "save_best_params"),
    (("linear", 3.5), "save_best_params"),
])
def test_text_arguments_refuse_other_kinds(create, args, name):
    with pytest.raises(TypeError, match=f"'{name}'"):
        create(*args)


@pytest.mark.parametrize("call", [
    lambda: kemb.create_linear_model("linear"),
    lambda: kemb.create_linear_model("linear", "", ""),
    lambda: kemb.create_linear_model(output_type="linear", path=""),
    lambda: kemb.create_linear_model("linear", "", output_type="linear"),
    lambda: kemb.create_optimizer("adam", 0.1),
    lambda: kemb.load_linear_model(),
])
def test_argument_matching_errors(call):
    with pytest.raises(TypeError):
        call()


def test_keywords_are_accepted_everywhere(linear):
    model = kemb.create_linear_model(save_best_params="", output_type="linear")
    model = kemb.add_linear_model_layer(model=model, layer_type="dense", n_neurons=2, n_inputs=3)
    opt = kemb.create_optimizer(decay=0, learning_rate=1, opt_type="sgd")
    assert type(model) is type(linear) and type(opt).__name__ == "DynamicOptimizer"


@pytest.mark.parametrize("add, make", [
    (kemb.add_linear_model_layer, "linear"),
    (kemb.add_categorical_model_layer, "categorical"),
])
@pytest.mark.parametrize("kwargs", [
    {},
    {"n_inputs": 3, "n_neurons": 4, "layer_type": "dense", "activation_type": "relu"},
    {"layer_type": "dropout", "dropout_rate": 1},
    {"dropout_rate": None, "n_inputs": None},
    {"n_inputs": True, "n_neurons": Indexy(), "dropout_rate": Floaty()},
    {"n_inputs": 2**64 - 1, "n_neurons": 0, "dropout_rate": -3.0},
    {"dropout_rate": math.nan, "layer_type": "Dense", "activation_type": ""},
    {"dropout_rate": 1e300},
])
def test_add_layer_accepts_every_valid_kind(add, make, kwargs, request):
    model = request.getfixturevalue(make)
    new = add(model, **kwargs)
    assert type(new) is type(model)
    assert new is not model


@pytest.mark.parametrize("kwargs, error, name", [
    ({"n_inputs": -1}, OverflowError, None),
    ({"n_neurons": 2**64}, OverflowError, None),
    ({"n_inputs": 2.0}, TypeError, "n_inputs"),
    ({"n_neurons": "3"}, TypeError, "n_neurons"),
    ({"layer_type": 1}, TypeError, "layer_type"),
    ({"activation_type": b"relu"}, TypeError, "activation_type"),
    ({"dropout_rate": "0.5"}, TypeError, "dropout_rate"),
    ({"dropout_rate": [0.5]}, TypeError, "dropout_rate"),
    ({"dropout_rate": 10**400}, OverflowError, None),
])
def test_add_layer_refuses_wrong_kinds(linear, kwargs, error, name):
    with pytest.raises(error) as info:
        kemb.add_linear_model_layer(linear, **kwargs)
    message = str(info.value)
    if name is None:
        for parameter in ("n_inputs", "n_neurons", "dropout_rate"):
            assert parameter not in message
    else:
        assert f"'{name}'" in message


def test_add_layer_checks_the_model_kind(linear, categorical, opt):
    with pytest.raises(TypeError, match="'model'"):
        kemb.add_linear_model_layer(categorical)
    with pytest.raises(TypeError, match="'model'"):
        kemb.add_categorical_model_layer(linear)
    for wrong in (None, opt, 3, "model"):
        with pytest.raises(TypeError, match="'model'"):
            kemb.add_linear_model_layer(wrong)


def test_conversion_stops_at_the_first_failing_argument(linear):
    # n_inputs fails before dropout_rate is looked at.
    with pytest.raises(OverflowError):
        kemb.add_linear_model_layer(linear, -1, dropout_rate="bad")
    with pytest.raises(TypeError, match="'n_neurons'"):
        kemb.add_linear_model_layer(linear, 1, 1.5, layer_type=7)


@pytest.mark.parametrize("args", [
    ("adam", 0.001, 0.0),
    ("sgd", 1, 0),
    ("no such rule", Floaty(), True),
    ("tf_adam", math.inf, math.nan),
    ("adam", -1e39, 1e-50),
])
def test_create_optimizer_accepts_any_numbers(args):
    assert type(kemb.create_optimizer(*args)).__name__ == "DynamicOptimizer"


@pytest.mark.parametrize("args, error, name", [
    ((None, 0.1, 0.0), TypeError, "opt_type"),
    (("adam", None, 0.0), TypeError, "learning_rate"),
    (("adam", "0.1", 0.0), TypeError, "learning_rate"),
    (("adam", 0.1, None), TypeError, "decay"),
    (("adam", 0.1, 1j), TypeError, "decay"),
    (("adam", 10**400, 0.0), OverflowError, None),
])
def test_create_optimizer_refuses_wrong_kinds(args, error, name):
    with pytest.raises(error) as info:
        kemb.create_optimizer(*args)
    if name is not None:
        assert f"'{name}'" in str(info.value)


def test_every_call_returns_a_fresh_object(linear, opt):
    a = kemb.add_linear_model_layer(linear, 2, 3, "dense")
    b = kemb.add_linear_model_layer(linear, 2, 3, "dense")
    assert a is not b and a is not linear
    assert kemb.create_optimizer("adam", 0.1, 0) is not kemb.create_optimizer("adam", 0.1, 0)




@pytest.mark.parametrize("call, error, message", [
    (lambda m: kemb.add_linear_model_layer(m, 2.0), TypeError,
     "argument 'n_inputs': expected a non-negative integer, got float"),
    (lambda m: kemb.add_linear_model_layer(m, -1), OverflowError,
     "-1 is out of range (0 to 18446744073709551615)"),
    (lambda m: kemb.add_linear_model_layer(m, 10**60), OverflowError,
     "100000000000000000...000000000000000000 is out of range (0 to 18446744073709551615)"),
    (lambda m: kemb.add_linear_model_layer(m, dropout_rate="x"), TypeError,
     "argument 'dropout_rate': expected a real number, got str"),
    (lambda m: kemb.create_linear_model(None, ""), TypeError,
     "argument 'output_type': expected str, got NoneType"),
    (lambda m: kemb.add_categorical_model_layer(m), TypeError,
     "argument 'model': expected CategoricalModel, got LinearModel"),
])
def test_messages_say_what_was_expected_and_given(linear, call, error, message):
    with pytest.raises(error) as info:
        call(linear)
    assert str(info.value) == message
