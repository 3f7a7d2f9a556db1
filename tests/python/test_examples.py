"""The example scripts run end to end (with few epochs) and print their one-line result."""

import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("sklearn")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("script, args, expected", [
    ("digits", ["--model", "m.json", "--epochs", "60", "--print-freq", "3"],
     r"digits: 1438 training and 359 validation images.*\nepoch:   20, acc: .*\n"
     r"validation:  acc: (?s:.*)validation accuracy (9\d|100)\.\d%.*\n"),
    ("diabetes", ["--model", "m.json", "--epochs", "60", "--report-lines", "-1"],
     r"(?s:.*)\nvalidation: .*\n(True: .*\n){88}Validation MSE: .*\n"
     r"diabetes: validation mean absolute error \d+\.\d{3} .*\n"),
    ("build_model", [], r"CategoricalModel\nLinearModel\nDynamicOptimizer\n(?s:.*)"),
    ("plot_training", ["--epochs", "20", "--print-freq", "4", "--output", "plot.png"],
     r"4 reports plotted to (?s:.*)"),
])
def test_example(tmp_path, script, args, expected):
    if script == "plot_training":
        pytest.importorskip("matplotlib")
    result = subprocess.run([sys.executable, str(EXAMPLES / f"{script}.py"), *args],
                            capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert re.fullmatch(expected, result.stdout), result.stdout[-2000:]
    if script == "plot_training":
        assert (tmp_path / "plot.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
