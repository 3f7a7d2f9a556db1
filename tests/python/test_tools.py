"""kemb_tools against kemb's own printed output: predictions for every row of
the digits and diabetes data, the ONNX export run by onnxruntime, progress
lines as arrays, and the files and inputs it refuses."""

import json
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import kemb
import kemb_tools
from conftest import NONE, run_script

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

# Trains both kinds briefly and evaluates the saved models on every row.
TRAIN_AND_EVALUATE = """
import sys
import numpy as np
from sklearn.datasets import load_diabetes, load_digits
import kemb

digits = load_digits()
x = (digits.data / 16.0).astype(np.float32)
y = digits.target.astype(np.int32)
add = kemb.add_categorical_model_layer
model = kemb.create_categorical_model("softmax", "digits.json")
model = add(add(add(model, 64, 32, "dense", "relu"), layer_type="dropout", dropout_rate=0.1),
            32, 10, "dense")
kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.01, 1e-3), 30, 3,
                             x[:1400], y[:1400], x[1400:], y[1400:])
print("== evaluation", flush=True)
kemb.evaluate_categorical_model(kemb.load_categorical_model("digits.json"), x, y)

data = load_diabetes()
x = ((data.data - data.data.mean(0)) / data.data.std(0)).astype(np.float32)
y = ((data.target - data.target.mean()) / data.target.std()).astype(np.float32)
add = kemb.add_linear_model_layer
model = add(add(kemb.create_linear_model("linear", "diabetes.json"), 10, 16, "dense", "relu"),
            16, 1, "dense")
print("== training", flush=True)
kemb.train_linear_model(model, kemb.create_optimizer("adam", 0.01, 0.0), 60, 30, x, y,
                        np.zeros((0, 0), np.float32), y)
print("== evaluation", flush=True)
kemb.evaluate_linear_model(kemb.load_linear_model("diabetes.json"), x, y)
"""


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """Per kind: the model file, the inputs, the training and the evaluation
    output."""
    datasets = pytest.importorskip("sklearn.datasets")
    where = tmp_path_factory.mktemp("trained")
    result = run_script(TRAIN_AND_EVALUATE, cwd=where, env={"KEMB_SEED": "7"})
    assert result.returncode == 0, result.stderr
    digits_training, digits_report, diabetes_training, diabetes_report = re.split(
        r"== (?:evaluation|training)\n", result.stdout)
    digits, diabetes = datasets.load_digits(), datasets.load_diabetes()
    return {
        "categorical": (where / "digits.json", (digits.data / 16.0).astype(np.float32),
                        digits_training, digits_report),
        "linear": (where / "diabetes.json",
                   ((diabetes.data - diabetes.data.mean(0)) / diabetes.data.std(0)).astype(
                       np.float32), diabetes_training, diabetes_report),
    }


def printed_predictions(report):
    return re.findall(r"Predicted: ([^,]+),", report)


def printed_as(value, text):
    """`value` prints as `text` to 3 decimals, or lies at a rounding midpoint
    where another summation order of the products may print it either way."""
    value = float(value)
    return f"{value:.3f}" == text or abs(abs(value - float(text)) - 5e-4) <= 1e-6 * max(1, abs(value))


@pytest.mark.parametrize("kind, rows", [("categorical", 1797), ("linear", 442)])
def test_predict_gives_what_evaluation_prints(trained, kind, rows):
    path, x, _, report = trained[kind]
    printed = printed_predictions(report)
    predicted = kemb_tools.predict(path, x)
    assert len(printed) == rows and predicted.shape == (rows,)
    if kind == "categorical":
        assert predicted.dtype == np.int32
        assert predicted.tolist() == [int(text) for text in printed]
    else:
        assert predicted.dtype == np.float32
        assert all(printed_as(v, text) for v, text in zip(predicted, printed))
    # Another layout, dtype or path type of the same rows predicts the same.
    again = kemb_tools.predict(str(path), np.asfortranarray(x.astype(np.float64)))
    np.testing.assert_array_equal(again, predicted)


@pytest.mark.parametrize("kind, how", [("categorical", "command"), ("linear", "example")])
def test_onnx_export_predicts_what_evaluation_prints(trained, tmp_path, kind, how):
    ort = pytest.importorskip("onnxruntime")
    pytest.importorskip("onnx")
    path, x, _, report = trained[kind]
    out = tmp_path / "model.onnx"
    if how == "command":  # the console script that the wheel installs
        command = [str(pathlib.Path(sys.executable).with_name("kemb-onnx")), str(path), str(out)]
    else:
        command = [sys.executable, str(EXAMPLES / "export_onnx.py"), str(path), str(out)]
    subprocess.run(command, check=True, capture_output=True, timeout=120)
    outputs = ort.InferenceSession(str(out), providers=["CPUExecutionProvider"]).run(None, {"x": x})
    printed = printed_predictions(report)
    if kind == "categorical":
        probabilities, label = outputs
        assert label.tolist() == [int(text) for text in printed]
        assert probabilities.argmax(axis=1).tolist() == label.tolist()
    else:
        (prediction,) = outputs
        assert all(printed_as(v, text) for v, text in zip(prediction, printed))
        np.testing.assert_allclose(prediction, kemb_tools.predict(path, x), rtol=1e-5, atol=1e-6)


def test_read_progress(trained):
    with_validation = kemb_tools.read_progress(trained["categorical"][2])
    assert with_validation["epoch"].tolist() == [10, 20, 30]
    assert len(with_validation["val_acc"]) == len(with_validation["val_loss"]) == 3
    assert ((0 <= with_validation["acc"]) & (with_validation["acc"] <= 1)).all()
    without = kemb_tools.read_progress(trained["linear"][2])
    assert without["epoch"].tolist() == list(range(2, 61, 2))
    assert without["val_acc"].shape == without["val_loss"].shape == (0,)
    assert without["epoch"].dtype == np.int64 and without["lr"].tolist() == [0.01] * 30

    # Odd figures, a loss text with the line's own separators in it, and
    # lines that are no progress report.
    text = ("digits: 1438 training images\n"
            "epoch:    5, acc: NaN, loss: inf [mse: 1, reg: 2.000], lr 0.0000001\n"
            "validation:  acc: 0.500, loss: -inf [mse: 1, reg: 2.000]\n"
            "True: 1, Predicted: 1, Certainty: 99.0%\n"
            "epoch: 65535, acc: 1.000, loss: 0.125 [x]: 9.000, reg: 9: 0.120, reg: 0.005], "
            "lr 340282350000000000000000000000000000000\n")
    progress = kemb_tools.read_progress(text)
    assert progress["epoch"].tolist() == [5, 65535]
    np.testing.assert_array_equal(progress["acc"], [np.nan, 1.0])
    assert progress["loss"].tolist() == [np.inf, 0.125]
    assert progress["lr"].tolist() == [1e-7, 3.4028235e38]
    assert progress["val_acc"].tolist() == [0.5] and progress["val_loss"].tolist() == [-np.inf]


@pytest.fixture(scope="module")
def small_model(tmp_path_factory):
    """A trained 2-4-3 classifier's file, as a dict to spoil."""
    path = tmp_path_factory.mktemp("small") / "small.json"
    x = np.array([[0, 1], [1, 0], [1, 1], [0, 0]], np.float32)
    y = np.array([0, 1, 2, 0], np.int32)
    model = kemb.create_categorical_model("softmax", str(path))
    model = kemb.add_categorical_model_layer(model, 2, 4, "dense", "relu")
    model = kemb.add_categorical_model_layer(model, 4, 3, "dense")
    kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.1, 0.0), 5, 9, x, y,
                                 NONE, y)
    return json.loads(path.read_text())


def spoil(key, value):
    def change(model):
        *parents, last = key
        target = model
        for part in parents:
            target = target[part]
        if value is None:
            del target[last]
        else:
            target[last] = value
        return model
    return change


X2 = np.zeros((3, 2), np.float32)


@pytest.mark.parametrize("change, x, message", [
    (lambda m: "\x00 not json", X2, r"not a kemb model file: it is not JSON \(.*\); expected a "
                                    r"JSON object with the keys layers"),
    (lambda m: [], X2, "not a kemb model file: the document is a list of 0 values"),
    (spoil(["output_type"], None), X2,
     "not a kemb model file: the document has no key 'output_type'"),
    (spoil(["layers", 1, "binary_mask"], None), X2,
     "layer 1 has no key 'binary_mask'; expected an object with the 20 fields of a kemb layer"),
    (spoil(["layers", 0, "weights", "data"], [1.0] * 7), X2,
     r"layer 0's weights is not an array: it has 7 values for dim \[2, 4\], which needs 8; "
     r'expected an array object \{"v": 1'),
    (spoil(["layers", 0, "biases", "v"], 2), X2, "layer 0's biases is not an array: its version v"),
    (spoil(["output_type"], "Softmax"), X2, "output_type is 'Softmax', for which kemb predicts "
                                            "nothing; expected 'softmax' for a categorical model"),
    (spoil(["layers", 0, "layer_type"], "Dense"), X2,
     "layer 0's layer_type is 'Dense', which gives no output; expected 'dense' or 'dropout'"),
    (spoil(["layers", 1, "weights"], {"v": 1, "dim": [3, 3], "data": [0] * 9}), X2,
     "layer 1's weights are 3 x 3, after an output of 4 columns"),
    (lambda m: m, np.zeros((3, 5), np.float32),
     "x has 5 columns; expected 2, the inputs of the model's first dense layer"),
    (lambda m: m, np.zeros(2, np.float32), r"x has shape \(2,\); expected a 2-D array"),
])
def test_refusals(small_model, tmp_path, change, x, message):
    path = tmp_path / "model.json"
    spoilt = change(json.loads(json.dumps(small_model)))
    path.write_text(spoilt if isinstance(spoilt, str) else json.dumps(spoilt))
    # A file's faults are reported with its path.
    prefix = "" if message.startswith("x has") else re.escape(f"{path}: ")
    with pytest.raises(ValueError, match=prefix + message):
        kemb_tools.predict(path, x)


def test_export_refuses_a_model_without_input_width(small_model, tmp_path):
    """With only a dropout layer kemb predicts the arg-max of the inputs, so
    predict works, but the ONNX graph has no width for its input."""
    pytest.importorskip("onnx")
    path = tmp_path / "model.json"
    model = dict(small_model, layers=[dict(small_model["layers"][0], layer_type="dropout",
                                           activation_type="")])
    path.write_text(json.dumps(model))
    assert kemb_tools.predict(path, [[1, 3, 2], [5, 5, 1]]).tolist() == [1, 0]
    with pytest.raises(ValueError, match="no dense layer, so its input width is unknown"):
        kemb_tools.export_onnx(path, tmp_path / "model.onnx")
    # The installed command; where packages came without their scripts (pip
    # --target, as for the emulated aarch64 run), its entry point.
    command = pathlib.Path(sys.executable).with_name("kemb-onnx")
    launch = [str(command)] if command.exists() else [
        sys.executable, "-c", "import sys; from kemb_tools._onnx import main; sys.exit(main())"]
    result = subprocess.run([*launch, str(path), str(tmp_path / "model.onnx")],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 1 and result.stderr.startswith(f"kemb-onnx: {path}: the model")
