"""A trained model exported by examples/export_onnx.py predicts in
onnxruntime what kemb predicts: the same class for every sample, regression
values within 1e-5 relative."""

import json
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import kemb

ort = pytest.importorskip("onnxruntime")
pytest.importorskip("onnx")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def export(model_path, *args):
    out = model_path.with_suffix(".onnx")
    subprocess.run([sys.executable, str(EXAMPLES / "export_onnx.py"), str(model_path), str(out),
                    *args], check=True, capture_output=True, timeout=120)
    return ort.InferenceSession(str(out), providers=["CPUExecutionProvider"])


def test_categorical_classes_match_evaluation(tmp_path, capfd):
    datasets = pytest.importorskip("sklearn.datasets")
    digits = datasets.load_digits()
    x = (digits.data / 16.0).astype(np.float32)
    y = digits.target.astype(np.int32)
    path = tmp_path / "digits.json"
    add = kemb.add_categorical_model_layer
    model = kemb.create_categorical_model("softmax", str(path))
    model = add(add(add(model, 64, 32, "dense", "relu"), layer_type="dropout", dropout_rate=0.1),
                32, 10, "dense")
    kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.01, 1e-3), 30, 1,
                                 x[:1400], y[:1400], x[1400:], y[1400:])
    capfd.readouterr()
    kemb.evaluate_categorical_model(kemb.load_categorical_model(str(path)), x, y)
    printed = [int(c) for c in re.findall(r"Predicted: (\d+),", capfd.readouterr().out)]

    probabilities, label = export(path, "--kind", "categorical").run(None, {"x": x})
    assert len(printed) == len(x)
    assert label.tolist() == printed
    assert probabilities.argmax(axis=1).tolist() == printed


def test_linear_outputs_match_kemb(tmp_path):
    rng = np.random.default_rng(7)
    x = rng.standard_normal((300, 5), dtype=np.float32)
    y = (np.sin(x[:, 0]) + x[:, 1] * x[:, 2]).astype(np.float32)
    path = tmp_path / "regression.json"
    add = kemb.add_linear_model_layer
    model = add(add(add(kemb.create_linear_model("linear", str(path)), 5, 16, "dense", "relu"),
                    layer_type="dropout", dropout_rate=0.1), 16, 1, "dense")
    # A trailing dropout layer of rate 0 caches its input, the model's output: the file holds
    # kemb's predictions for the validation pass that ran with the saved weights.
    model = add(model, layer_type="dropout", dropout_rate=0.0)
    kemb.train_linear_model(model, kemb.create_optimizer("adam", 0.01, 0.0), 40, 1, x[:200],
                            y[:200], x[200:], y[200:])
    cache = json.loads(path.read_text())["layers"][-1]["inputs"]
    expected = np.array(cache["data"], np.float32).reshape(cache["dim"])[:, 0]

    (prediction,) = export(path).run(None, {"x": x[200:]})
    assert prediction.shape == (100,)
    np.testing.assert_allclose(prediction, expected, rtol=1e-5, atol=0)
