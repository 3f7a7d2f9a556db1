"""Diabetes progression: train a regression model with kemb, then load the
best saved model and evaluate it on held-out patients.

The data set ships with scikit-learn (no download). Features and target are
standardised, so errors are in standard deviations of the target. Run:
    python examples/diabetes.py [--epochs N] [--model PATH]
"""

import argparse
import os
import re
import tempfile

import numpy as np
from numpy.typing import NDArray
from sklearn.datasets import load_diabetes  # type: ignore[import-untyped]

import kemb
import wurlitzer  # type: ignore[import-untyped]
from capture import print_abridged


def standardise(values: NDArray[np.float64], reference: NDArray[np.float64]) -> NDArray[np.float64]:
    """Centres and scales `values` by the mean and deviation of `reference`."""
    scaled: NDArray[np.float64] = (values - reference.mean(axis=0)) / reference.std(axis=0)
    return scaled


def load_split(
    seed: int = 0, validation_fraction: float = 0.2
) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.float32], NDArray[np.float32]]:
    data = load_diabetes()
    order = np.random.default_rng(seed).permutation(len(data.target))
    n_val = int(len(order) * validation_fraction)
    val, train = order[:n_val], order[n_val:]
    x = standardise(data.data, data.data[train]).astype(np.float32)
    y = standardise(data.target, data.target[train]).astype(np.float32)
    return x[train], y[train], x[val], y[val]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=500)
    parser.add_argument("--print-freq", type=int, default=10)
    parser.add_argument("--model", default=os.path.join(tempfile.gettempdir(), "kemb-diabetes.json"))
    parser.add_argument("--report-lines", type=int, default=10,
                        help="per-sample evaluation lines to show (-1: all)")
    args = parser.parse_args()

    x, y, val_x, val_y = load_split()
    print(f"diabetes: {len(x)} training and {len(val_x)} validation patients, 10 features",
          flush=True)  # kemb writes to the descriptor directly: flush ours first

    model = kemb.create_linear_model("linear", args.model)
    model = kemb.add_linear_model_layer(model, 10, 32, "dense", "relu")
    model = kemb.add_linear_model_layer(model, 32, 1, "dense")
    opt = kemb.create_optimizer("adam", 0.005, 1e-3)

    kemb.train_linear_model(model, opt, args.epochs, args.print_freq, x, y, val_x, val_y)

    best = kemb.load_linear_model(args.model)
    with wurlitzer.pipes(stderr=None) as (report, _):
        kemb.evaluate_linear_model(best, val_x, val_y)
    summary = print_abridged(report.getvalue(), args.report_lines)

    # The report's first figure is the mean absolute error of the predictions.
    match = re.match(r"Validation MSE: ([^,]*),", summary)
    if match is None:
        raise SystemExit(f"unexpected report summary: {summary!r}")
    mean_error = float(match.group(1))
    print(f"diabetes: validation mean absolute error {mean_error:.3f} "
          f"(target standard deviations; model saved in {args.model})")


if __name__ == "__main__":
    main()
