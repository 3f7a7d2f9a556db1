"""Loading model files: valid documents of every form, null read as NaN,
and the exact failure messages with their line and column. (Damaged and
random inputs are the C++ robustness loop's and the fuzz target's.)"""

import json

import kemb
import pytest

PREFIX = "called `Result::unwrap()` on an `Err` value: "
EMPTY_M = {"v": 1, "dim": [0, 0], "data": []}
EMPTY_V = {"v": 1, "dim": [0], "data": []}


def layer(**fields):
    base = {
        "layer_type": "dense", "activation_type": "relu", "n_inputs": 2, "n_neurons": 1,
        "weights": {"v": 1, "dim": [2, 1], "data": [0.5, -0.25]},
        "biases": {"v": 1, "dim": [1], "data": [0.0]},
        "weight_regularizer_l1": 0.0, "weight_regularizer_l2": 0.0,
        "bias_regularizer_l1": 0.0, "bias_regularizer_l2": 0.0,
        "inputs": EMPTY_M, "activation_inputs": EMPTY_M, "dweights": EMPTY_M, "dbiases": EMPTY_V,
        "weight_momentums": EMPTY_M, "weight_cache": EMPTY_M,
        "bias_momentums": EMPTY_V, "bias_cache": EMPTY_V,
        "dropout_rate": 0.0, "binary_mask": EMPTY_M,
    }
    base.update(fields)
    return base


def linear_doc(**fields):
    doc = {"layers": [layer()], "output_type": "linear", "loss_type": "mean_squared_error",
           "acc_type": "linear", "acc_precision": 1.0, "save_best_params": "m.json"}
    doc.update(fields)
    return doc


def categorical_doc(**fields):
    doc = {"layers": [layer()], "output_type": "softmax",
           "loss_type": "categorical_crossentropy", "acc_type": "categorical",
           "save_best_params": "m.json"}
    doc.update(fields)
    return doc


def panic_message(call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        assert type(error).__name__ == "PanicException", error
        return error.args[0]
    raise AssertionError("expected a PanicException")


@pytest.fixture
def write(tmp_path):
    def write_text(text, name="model.json"):
        path = tmp_path / name
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        return str(path)
    return write_text


def as_arrays(doc):
    """The array form: every record as the list of its field values."""
    if isinstance(doc, dict):
        return [as_arrays(value) for value in doc.values()]
    if isinstance(doc, list):
        return [as_arrays(value) for value in doc]
    return doc


@pytest.mark.parametrize("form", ["compact", "pretty", "reversed", "extra keys", "arrays"])
def test_valid_documents_of_each_form_load(write, form):
    docs = {"linear": linear_doc(), "categorical": categorical_doc()}
    for kind, doc in docs.items():
        if form == "compact":
            text = json.dumps(doc, separators=(",", ":"))
        elif form == "pretty":
            text = json.dumps(doc, indent=4) + "\n\n"
        elif form == "reversed":
            text = json.dumps(dict(reversed(list(doc.items()))))
        elif form == "extra keys":
            text = json.dumps({"comment": {"any": [1, "json", None]}, **doc})
        else:
            text = json.dumps(as_arrays(doc))
        load = kemb.load_linear_model if kind == "linear" else kemb.load_categorical_model
        model = load(write(text))
        assert type(model).__name__ == ("LinearModel" if kind == "linear" else "CategoricalModel")


def test_keyword_argument_and_independent_objects(write):
    path = write(json.dumps(categorical_doc()))
    first = kemb.load_categorical_model(save_best_params=path)
    second = kemb.load_categorical_model(path)
    assert first is not second


def test_a_linear_file_loads_as_categorical_but_not_the_reverse(write):
    assert type(kemb.load_categorical_model(write(json.dumps(linear_doc())))).__name__ == \
        "CategoricalModel"
    text = json.dumps(categorical_doc(layers=[]), separators=(",", ":"))
    assert panic_message(lambda: kemb.load_linear_model(write(text))) == (
        PREFIX + f'Error("missing field `acc_precision`", line: 1, column: {len(text)})')


def test_null_reads_as_nan_where_a_float_is_expected(write):
    doc = linear_doc(acc_precision=None, layers=[layer(
        dropout_rate=None, weight_regularizer_l2=None,
        weights={"v": 1, "dim": [2, 1], "data": [None, 1.0]})])
    assert type(kemb.load_linear_model(write(json.dumps(doc)))).__name__ == "LinearModel"


@pytest.mark.parametrize("field, expected", [
    ("save_best_params", "a string"), ("n_inputs", "an unsigned integer"),
])
def test_null_elsewhere_is_still_a_type_error(write, field, expected):
    doc = linear_doc(save_best_params=None) if field == "save_best_params" else \
        linear_doc(layers=[layer(n_inputs=None)])
    text = json.dumps(doc, separators=(",", ":"))
    column = text.index("null") + 4
    assert panic_message(lambda: kemb.load_linear_model(write(text))) == (
        PREFIX + f'Error("invalid type: null, expected {expected}", line: 1, column: {column})')


MULTI_LINE = '{\n  "layers": [],\n  "output_type": "softmax",\n'


@pytest.mark.parametrize("text, message, line, column", [
    ("{\n}", "missing field `layers`", 2, 1),
    (MULTI_LINE + '  "loss_type": "l",\n  "acc_type": "a"\n}',
     "missing field `save_best_params`", 6, 1),
    (MULTI_LINE + '  "layers": []', "duplicate field `layers`", 4, 11),
    ('[\n[],\n"softmax"]', "invalid length 2, expected struct CategoricalModel with 5 elements", 3, 10),
    ('{"layers": [\n  ["dense"]]}', "invalid length 1, expected struct Layer with 20 elements", 2, 11),
    ('{"layers": [{"weights":\n {"v": 1, "dims": []}}]}',
     "unknown field `dims`, expected one of `v`, `dim`, `data`", 2, 17),
    ('{"layers": [{"weights":\n {"v": 3}}]}', "unknown array version: 3", 2, 8),
    ('{"layers": [{"weights":\n {"dim": [0, 0], "data": []}}]}', "missing field `v`", 2, 28),
    ('{"layers": [{"weights":\n {"dim": [0, 0], "v": 1}}]}', "missing field `data`", 2, 24),
    ('{"layers": [{"weights":\n {"data": [], "v": 1}}]}', "missing field `dim`", 2, 21),
    ('{"layers": [{"weights":\n {"v": 1, "dim": [2, 3], "data": [1, 2, 3, 4, 5]}}]}',
     "data and dimension must match in size", 2, 49),
    ('{"layers": [{"weights":\n [1, [0, 0]]}]}', "invalid length 2, expected ndarray representation",
     2, 12),
    (MULTI_LINE + '  "loss_type": "abc", "acc_type": 1.5',
     "invalid type: floating point `1.5`, expected a string", 4, 37),
    ('{"layers": [{"layer_type": "dense", "dropout_rate":\n "abc"}]}',
     'invalid type: string \\"abc\\", expected a float', 2, 6),
    ('{"layers": [\n', "EOF while parsing a list", 2, 0),
    ('{"layers" []}', "expected `:`", 1, 11),
])
def test_parse_failures_with_line_and_column(write, text, message, line, column):
    assert panic_message(lambda: kemb.load_categorical_model(write(text))) == (
        PREFIX + f'Error("{message}", line: {line}, column: {column})')


def test_trailing_characters_but_blank_lines_are_fine(write):
    text = json.dumps(categorical_doc())
    kemb.load_categorical_model(write(text + "\n\n\n"))
    assert panic_message(lambda: kemb.load_categorical_model(write(text + "\n" + text))) == (
        PREFIX + 'Error("trailing characters", line: 2, column: 1)')
