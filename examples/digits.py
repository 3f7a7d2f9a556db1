"""Handwritten digits: train a classifier with kemb, then load the best saved
model and evaluate it on held-out images.

The 8 x 8 digit images ship with scikit-learn (no download). Run:
    python examples/digits.py [--epochs N] [--model PATH]
"""

import argparse
import os
import re
import tempfile

import numpy as np
from numpy.typing import NDArray
from sklearn.datasets import load_digits  # type: ignore[import-untyped]

import kemb
import wurlitzer  # type: ignore[import-untyped]
from capture import print_abridged


def load_split(
    seed: int = 0, validation_fraction: float = 0.2
) -> tuple[NDArray[np.float32], NDArray[np.int32], NDArray[np.float32], NDArray[np.int32]]:
    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)  # pixel intensities 0..16 -> [0, 1]
    y = digits.target.astype(np.int32)
    order = np.random.default_rng(seed).permutation(len(x))
    n_val = int(len(x) * validation_fraction)
    val, train = order[:n_val], order[n_val:]
    return x[train], y[train], x[val], y[val]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=300)
    parser.add_argument("--print-freq", type=int, default=10)
    parser.add_argument("--model", default=os.path.join(tempfile.gettempdir(), "kemb-digits.json"))
    parser.add_argument("--report-lines", type=int, default=10,
                        help="per-sample evaluation lines to show (-1: all)")
    args = parser.parse_args()

    x, y, val_x, val_y = load_split()
    print(f"digits: {len(x)} training and {len(val_x)} validation images, 64 features, 10 classes",
          flush=True)  # kemb writes to the descriptor directly: flush ours first

    model = kemb.create_categorical_model("softmax", args.model)
    model = kemb.add_categorical_model_layer(model, 64, 64, "dense", "relu")
    model = kemb.add_categorical_model_layer(model, 64, 10, "dense")
    opt = kemb.create_optimizer("adam", 0.01, 1e-3)

    kemb.train_categorical_model(model, opt, args.epochs, args.print_freq, x, y, val_x, val_y)

    best = kemb.load_categorical_model(args.model)
    with wurlitzer.pipes(stderr=None) as (report, _):
        kemb.evaluate_categorical_model(best, val_x, val_y)
    summary = print_abridged(report.getvalue(), args.report_lines)

    match = re.fullmatch(r"Validation accuracy (.*)%", summary)
    if match is None:
        raise SystemExit(f"unexpected report summary: {summary!r}")
    accuracy = float(match.group(1))
    print(f"digits: validation accuracy {accuracy:.1f}% (model saved in {args.model})")


if __name__ == "__main__":
    main()
