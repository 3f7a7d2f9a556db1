"""The example scripts run end to end (with few epochs) and print their
one-line result."""

import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("sklearn")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def digits(lines, _):
    assert lines[0].startswith("digits: 1438 training and 359 validation images")
    assert lines[1].startswith("epoch:   20, acc: ")
    assert lines[2].startswith("validation:  acc: ")
    assert float(re.search(r"validation accuracy ([\d.]+)%", lines[-1]).group(1)) >= 90.0


def diabetes(lines, _):
    assert sum(line.startswith("True: ") for line in lines) == 88
    assert re.fullmatch(r"diabetes: validation mean absolute error \d+\.\d{3} .*", lines[-1])


def build_model(lines, _):
    assert lines[:3] == ["CategoricalModel", "LinearModel", "DynamicOptimizer"]


def plot_training(lines, tmp_path):
    assert lines[0].startswith("4 reports plotted to ")
    assert (tmp_path / "plot.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("check, args", [
    (digits, ["--model", "m.json", "--epochs", "60", "--print-freq", "3"]),
    (diabetes, ["--model", "m.json", "--epochs", "60", "--report-lines", "-1"]),
    (build_model, []),
    (plot_training, ["--epochs", "20", "--print-freq", "4", "--output", "plot.png"]),
])
def test_example(tmp_path, check, args):
    if check is plot_training:
        pytest.importorskip("matplotlib")
    result = subprocess.run([sys.executable, str(EXAMPLES / f"{check.__name__}.py"), *args],
                            capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    check(result.stdout.splitlines(), tmp_path)

