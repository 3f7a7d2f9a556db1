"""The example scripts run end to end (with few epochs) and print their
one-line result."""

import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("sklearn")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_example(name, tmp_path, *args):
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name), "--model", str(tmp_path / "model.json"), *args],
        capture_output=True, text=True, timeout=600, cwd=tmp_path)


def test_digits(tmp_path):
    result = run_example("digits.py", tmp_path, "--epochs", "60", "--print-freq", "3")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("digits: 1438 training and 359 validation images")
    assert lines[1].startswith("epoch:   20, acc: ")
    assert lines[2].startswith("validation:  acc: ")
    accuracy = float(re.search(r"validation accuracy ([\d.]+)%", lines[-1]).group(1))
    assert accuracy >= 90.0


def test_diabetes(tmp_path):
    result = run_example("diabetes.py", tmp_path, "--epochs", "60", "--report-lines", "-1")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert sum(line.startswith("True: ") for line in lines) == 88
    assert re.fullmatch(r"diabetes: validation mean absolute error \d+\.\d{3} .*", lines[-1])


def test_build_model():
    result = subprocess.run([sys.executable, str(EXAMPLES / "build_model.py")],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[:3] == ["CategoricalModel", "LinearModel", "DynamicOptimizer"]


def test_plot_training(tmp_path):
    pytest.importorskip("matplotlib")
    output = tmp_path / "training.png"
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "plot_training.py"), "--epochs", "20", "--print-freq", "4",
         "--output", str(output)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("4 reports plotted to ")
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_parser_pairs_validation_with_its_epoch():
    sys.path.insert(0, str(EXAMPLES))
    try:
        import plot_training
    finally:
        sys.path.remove(str(EXAMPLES))
    progress = plot_training.parse([
        "epoch:    5, acc: 0.500, loss: 1.250 [x: 1.250, reg: 0.000], lr 0.01",
        "validation:  acc: NaN, loss: inf [x: inf, reg: 0.000]",
        "epoch:   10, acc: 0.750, loss: 0.500 [x: 0.500, reg: 0.000], lr 0.01",
        "True: 1, Predicted: 1, Certainty: 99.0%",
    ])
    assert progress.epochs == [5, 10] and progress.loss == [1.25, 0.5]
    assert progress.val_epochs == [5] and progress.val_loss == [float("inf")]
    assert str(progress.val_accuracy) == "[nan]"
    assert progress.other_lines == ["True: 1, Predicted: 1, Certainty: 99.0%"]
