"""Evaluation reports of loaded models: exact per-sample lines and
summaries, and the failures that end a report part way."""

import numpy as np
import pytest

import model_files as mf
import reference as ref
from conftest import panic_message, run_kemb

F = np.float32

# Weights and inputs are small dyadic numbers, so every product and sum is
# exact in float32 whatever the summation order.
W = np.array([[1.0, -0.5, 0.25], [0.5, 2.0, -1.0]], F)
B = np.array([0.125, 0.0, -0.25], F)
X = np.array([[1.0, 0.5], [-2.0, 0.25], [0.0, 0.0], [4.0, -1.0]], F)


def evaluate(tmp_path, document, kind, labels):
    path = mf.write(tmp_path / "model.json", document)
    return run_kemb(
        tmp_path,
        f"""
        model = kemb.load_{kind}_model({path!r})
        guarded(kemb.evaluate_{kind}_model, model, data['x'], data['y'])
        """,
        x=X, y=labels)


def categorical_report(labels, n_lines):
    p = ref.softmax(X @ W + B)
    predictions = ref.predict(p)
    lines = [f"True: {labels[i]}, Predicted: {predictions[i]}, "
             f"Certainty: {ref.fixed(F(p[i, labels[i]] * F(100.0)), 1)}%" for i in range(n_lines)]
    return lines, predictions


def test_categorical_report(tmp_path):
    labels = np.array([0, 1, 2, 1, 7], np.int32)  # extra labels are ignored
    result = evaluate(tmp_path, mf.categorical_model([mf.layer("dense", weights=W, biases=B)]),
                      "categorical", labels)
    assert result.returncode == 0, result.stderr
    lines, predictions = categorical_report(labels, 4)
    accuracy = F(ref.categorical_accuracy(predictions, labels[:4]) * F(100.0))
    assert result.stdout.splitlines() == lines + [f"Validation accuracy {ref.fixed(accuracy, 1)}%"]


@pytest.mark.parametrize("labels, printed, message", [
    ([0, 1, 2, 3], 3, "ndarray: index out of bounds"),       # last label = number of classes
    ([0, -1, 2, 0], 1, "ndarray: index out of bounds"),
    ([0, 1], 2, "index out of bounds: the len is 2 but the index is 2"),
])
def test_categorical_report_failures(tmp_path, labels, printed, message):
    labels = np.array(labels, np.int32)
    result = evaluate(tmp_path, mf.categorical_model([mf.layer("dense", weights=W, biases=B)]),
                      "categorical", labels)
    assert panic_message(result) == message
    assert result.stdout.splitlines() == categorical_report(labels, printed)[0]


def test_categorical_report_without_softmax(tmp_path):
    document = mf.categorical_model([mf.layer("dense", weights=W, biases=B)], output_type="raw")
    result = evaluate(tmp_path, document, "categorical", np.zeros(4, np.int32))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "Validation accuracy NaN%\n"
    document["acc_type"] = "none"
    result = evaluate(tmp_path, document, "categorical", np.zeros(4, np.int32))
    assert result.stdout == "Validation accuracy 0.0%\n"


def linear_report(targets, precision):
    predictions = (X @ W + B)[:, 0]
    lines, total, hits = [], F(0.0), 0
    for t, p in zip(targets, predictions):
        error = F(abs(F(F(t) - p)))
        lines.append(f"True: {ref.fixed(t, 3)}, Predicted: {ref.fixed(p, 3)}, Error {ref.fixed(error, 3)}")
        total = F(total + error)
        hits += bool(error <= precision)
    n = F(len(predictions))
    summary = (f"Validation MSE: {ref.fixed(F(total / n), 3)}, "
               f"Accuracy {ref.fixed(F(F(F(hits) / n) * F(100.0)), 1)}%")
    return lines, summary


@pytest.mark.parametrize("precision", [1.0, 0.5, 0.0])
def test_linear_report(tmp_path, precision):
    targets = np.array([1.5, -2.0, 0.125, 3.0, 99.0], F)
    document = mf.linear_model([mf.layer("dense", weights=W, biases=B)], acc_precision=precision)
    result = evaluate(tmp_path, document, "linear", targets)
    assert result.returncode == 0, result.stderr
    lines, summary = linear_report(targets[:4], F(precision))
    assert result.stdout.splitlines() == lines + [summary]


def test_linear_report_failures(tmp_path):
    targets = np.array([1.5, -2.0], F)
    document = mf.linear_model([mf.layer("dense", weights=W, biases=B)])
    result = evaluate(tmp_path, document, "linear", targets)
    assert panic_message(result) == "ndarray: index out of bounds"
    assert result.stdout.splitlines() == linear_report(targets, F(1.0))[0]


def test_linear_report_without_predictions(tmp_path):
    document = mf.linear_model([mf.layer("dense", weights=W, biases=B)], output_type="none")
    result = evaluate(tmp_path, document, "linear", np.zeros(4, F))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "Validation MSE: NaN, Accuracy NaN%\n"


def test_worked_linear_example(tmp_path):
    # Targets [1, 2], predictions [1.5, 2], tolerance 0.5: errors 0.500 and
    # 0.000, mean error 0.250, accuracy 100.0.
    document = mf.linear_model([], acc_precision=0.5)
    path = mf.write(tmp_path / "model.json", document)
    result = run_kemb(
        tmp_path,
        f"kemb.evaluate_linear_model(kemb.load_linear_model({path!r}), data['x'], data['y'])",
        x=np.array([[1.5], [2.0]], F), y=np.array([1.0, 2.0], F))
    assert result.stdout == ("True: 1.000, Predicted: 1.500, Error 0.500\n"
                             "True: 2.000, Predicted: 2.000, Error 0.000\n"
                             "Validation MSE: 0.250, Accuracy 100.0%\n")


def test_unweighted_layers_fail_on_evaluation(tmp_path):
    # A model built by the module functions and never trained has no weights.
    result = run_kemb(
        tmp_path,
        """
        model = kemb.create_linear_model("linear", "")
        model = kemb.add_linear_model_layer(model, 2, 3, "dense")
        guarded(kemb.evaluate_linear_model, model, data['x'], data['y'])
        """,
        x=X, y=np.zeros(4, F))
    assert panic_message(result) == (
        "ndarray: inputs 4 \u00d7 2 and 0 \u00d7 0 are not compatible for matrix multiplication")
