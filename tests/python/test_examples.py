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
