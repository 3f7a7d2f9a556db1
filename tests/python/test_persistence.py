"""Loading model files through the module: one row per path a load takes
(the reader's full message table, with every line and column, is the C++
reader test's; damaged and random inputs are the fuzz target's)."""

import json

import kemb
import pytest

import model_files as mf
from conftest import outcome

PREFIX = "PanicException: called `Result::unwrap()` on an `Err` value: "
LINEAR = mf.linear_model([mf.layer("dense", "relu", weights=[[0.5], [-0.25]], biases=[0.0])],
                         "m.json")
CATEGORICAL = mf.categorical_model(LINEAR["layers"], "m.json")


def as_arrays(doc):
    """The array form: every record as the list of its field values."""
    if isinstance(doc, (dict, list)):
        return [as_arrays(v) for v in (doc.values() if isinstance(doc, dict) else doc)]
    return doc


@pytest.mark.parametrize("load, text, expected", [
    (kemb.load_linear_model, json.dumps(LINEAR, indent=4) + "\n\n", "ok"),
    (kemb.load_categorical_model, json.dumps({"extra": [None], **CATEGORICAL}), "ok"),
    (kemb.load_categorical_model, json.dumps(as_arrays(CATEGORICAL)), "ok"),
    # A linear document holds every categorical field, not the reverse.
    (kemb.load_categorical_model, json.dumps(LINEAR), "ok"),
    (kemb.load_linear_model, json.dumps(CATEGORICAL, separators=(",", ":")),
     PREFIX + 'Error("missing field `acc_precision`", line: 1, column: %d)'
     % len(json.dumps(CATEGORICAL, separators=(",", ":")))),
    # null is NaN where a float goes, a type error elsewhere.
    (kemb.load_linear_model, json.dumps(mf.linear_model(
        [mf.layer("dense", weights=[[0.5]], dropout_rate=None)], acc_precision=None)), "ok"),
    (kemb.load_linear_model, '{"save_best_params":\n null}',
     PREFIX + 'Error("invalid type: null, expected a string", line: 2, column: 5)'),
    (kemb.load_categorical_model, '{"layers": [\n', PREFIX + 'Error("EOF while parsing a list", '
     'line: 2, column: 0)'),
    (kemb.load_categorical_model, json.dumps(CATEGORICAL) + "\n" + json.dumps(CATEGORICAL),
     PREFIX + 'Error("trailing characters", line: 2, column: 1)'),
], ids=["pretty", "extra-key", "arrays", "linear-as-categorical", "categorical-as-linear",
        "null-float", "null-string", "eof", "trailing"])
def test_load(tmp_path, load, text, expected):
    path = tmp_path / "model.json"
    path.write_text(text)
    assert outcome(lambda: load(save_best_params=str(path))) == expected
    if expected == "ok":
        assert load(str(path)) is not load(str(path))
