"""Evaluation reports of loaded models: exact per-sample lines and
summaries, and the failures that end a report part way."""

import numpy as np
import pytest

import kemb
import model_files as mf
import reference as ref
from conftest import F, outcome

# Weights and inputs are small dyadic numbers, so every product and sum is
# exact in float32 whatever the summation order.
W = np.array([[1.0, -0.5, 0.25], [0.5, 2.0, -1.0]], F)
B = np.array([0.125, 0.0, -0.25], F)
X = np.array([[1.0, 0.5], [-2.0, 0.25], [0.0, 0.0], [4.0, -1.0]], F)
DENSE = [mf.layer("dense", weights=W, biases=B)]


def evaluate(tmp_path, capfd, document, labels, x=X):
    kind = "linear" if "acc_precision" in document else "categorical"
    model = getattr(kemb, f"load_{kind}_model")(mf.write(tmp_path / "model.json", document))
    result = outcome(lambda: getattr(kemb, f"evaluate_{kind}_model")(model, x, labels))
    return result, capfd.readouterr().out


def categorical_report(labels, n_lines):
    p = ref.softmax(X @ W + B)
    predictions = ref.predict(p)
    lines = [f"True: {labels[i]}, Predicted: {predictions[i]}, "
             f"Certainty: {ref.fixed(F(p[i, labels[i]] * F(100.0)), 1)}%" for i in range(n_lines)]
    return lines, predictions


@pytest.mark.parametrize("labels, printed, expected", [
    ([0, 1, 2, 1, 7], 4, "ok"),  # extra labels are ignored
    ([0, 1, 2, 3], 3, "ndarray: index out of bounds"),  # last label = number of classes
    ([0, -1, 2, 0], 1, "ndarray: index out of bounds"),
    ([0, 1], 2, "index out of bounds: the len is 2 but the index is 2"),
])
def test_categorical_report(tmp_path, capfd, labels, printed, expected):
    labels = np.array(labels, np.int32)
    result, out = evaluate(tmp_path, capfd, mf.categorical_model(DENSE), labels)
    lines, predictions = categorical_report(labels, printed)
    if expected == "ok":
        accuracy = F(ref.categorical_accuracy(predictions, labels[:4]) * F(100.0))
        lines.append(f"Validation accuracy {ref.fixed(accuracy, 1)}%")
    assert (result, out.splitlines()) == (expected if expected == "ok" else
                                          "PanicException: " + expected, lines)


def linear_report(targets, precision):
    predictions = (X @ W + B)[:, 0]
    lines, total, hits = [], F(0.0), 0
    for t, p in zip(targets, predictions):
        error = F(abs(F(F(t) - p)))
        lines.append(f"True: {ref.fixed(t, 3)}, Predicted: {ref.fixed(p, 3)}, "
                     f"Error {ref.fixed(error, 3)}")
        total = F(total + error)
        hits += bool(error <= precision)
    n = F(len(predictions))
    return lines + [f"Validation MSE: {ref.fixed(F(total / n), 3)}, "
                    f"Accuracy {ref.fixed(F(F(F(hits) / n) * F(100.0)), 1)}%"]


@pytest.mark.parametrize("precision", [1.0, 0.5, 0.0])
def test_linear_report(tmp_path, capfd, precision):
    targets = np.array([1.5, -2.0, 0.125, 3.0, 99.0], F)
    document = mf.linear_model(DENSE, acc_precision=precision)
    result, out = evaluate(tmp_path, capfd, document, targets)
    assert (result, out.splitlines()) == ("ok", linear_report(targets[:4], F(precision)))
    targets = targets[:2]  # fewer targets than predictions end the report
    result, out = evaluate(tmp_path, capfd, document, targets)
    assert (result, out.splitlines()) == ("PanicException: ndarray: index out of bounds",
                                          linear_report(targets, F(precision))[:2])


@pytest.mark.parametrize("document, labels, expected", [
    (mf.categorical_model(DENSE, output_type="raw"), np.zeros(4, np.int32),
     "Validation accuracy NaN%\n"),
    (mf.categorical_model(DENSE, output_type="raw", acc_type="none"), np.zeros(4, np.int32),
     "Validation accuracy 0.0%\n"),
    (mf.linear_model(DENSE, output_type="none"), np.zeros(4, F),
     "Validation MSE: NaN, Accuracy NaN%\n"),
], ids=["no-softmax", "no-accuracy-type", "no-predictions"])
def test_whole_report(tmp_path, capfd, document, labels, expected):
    assert evaluate(tmp_path, capfd, document, labels) == ("ok", expected)

