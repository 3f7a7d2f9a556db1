"""Loading model files through the module: one end-to-end row per kind of
outcome (the reader's message table, with every line and column, is the C++
reader test's; damaged and random inputs are the fuzz target's)."""

import json

import kemb
import pytest

import model_files as mf
from conftest import outcome

LINEAR = mf.linear_model([mf.layer("dense", "relu", weights=[[0.5], [-0.25]], biases=[0.0])],
                         "m.json")
CATEGORICAL = json.dumps(mf.categorical_model(LINEAR["layers"], "m.json"), separators=(",", ":"))


@pytest.mark.parametrize("load, text, expected", [
    (kemb.load_linear_model, json.dumps(LINEAR, indent=4) + "\n\n", "ok"),
    # A linear document holds every categorical field, not the reverse.
    (kemb.load_categorical_model, json.dumps(LINEAR), "ok"),
    (kemb.load_linear_model, CATEGORICAL, "PanicException: called `Result::unwrap()` on an `Err` "
     f'value: Error("missing field `acc_precision`", line: 1, column: {len(CATEGORICAL)})'),
], ids=["pretty", "linear-as-categorical", "categorical-as-linear"])
def test_load(tmp_path, load, text, expected):
    path = tmp_path / "model.json"
    path.write_text(text)
    assert outcome(lambda: load(save_best_params=str(path))) == expected
    if expected == "ok":
        assert load(str(path)) is not load(str(path))
