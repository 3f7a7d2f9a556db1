"""Plots a training run's progress: loss and accuracy per reported epoch, for
the training and the validation set.

kemb prints its progress lines to the process's standard output, so the
training runs in a child process (examples/digits.py by default) whose
output kemb_tools.read_progress turns into arrays. Run:
    python examples/plot_training.py [--output PNG] [--epochs N] [--print-freq N]
"""

import argparse
import pathlib
import subprocess
import sys

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
from matplotlib.figure import Figure
from numpy.typing import NDArray

import kemb_tools

HERE = pathlib.Path(__file__).resolve().parent


def figure(progress: dict[str, NDArray[np.generic]], title: str) -> Figure:
    """Loss (log scale) and accuracy per reported epoch, side by side; a
    validation figure belongs to the training report before it."""
    epochs = progress["epoch"]
    val_epochs = epochs[: len(progress["val_loss"])]
    fig, (loss_axes, accuracy_axes) = plt.subplots(1, 2, figsize=(10, 4))
    loss_axes.plot(epochs, progress["loss"], label="training")
    loss_axes.plot(val_epochs, progress["val_loss"], label="validation")
    loss_axes.set(xlabel="epoch", ylabel="loss (data + regularization)", yscale="log")
    accuracy_axes.plot(epochs, progress["acc"], label="training")
    accuracy_axes.plot(val_epochs, progress["val_acc"], label="validation")
    accuracy_axes.set(xlabel="epoch", ylabel="accuracy")
    for axes in (loss_axes, accuracy_axes):
        axes.grid(alpha=0.3)
        axes.legend()
    fig.suptitle(title)
    fig.tight_layout()
    return fig


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--script", default=str(HERE / "digits.py"),
                        help="training script whose progress lines are plotted")
    parser.add_argument("--epochs", type=int, default=300)
    parser.add_argument("--print-freq", type=int, default=60)
    parser.add_argument("--output", default="training.png")
    args = parser.parse_args()
    matplotlib.use("Agg")  # here, not at import: a notebook keeps its own backend

    command = [sys.executable, args.script, "--epochs", str(args.epochs),
               "--print-freq", str(args.print_freq), "--report-lines", "0"]
    result = subprocess.run(command, capture_output=True, text=True, check=True)
    progress = kemb_tools.read_progress(result.stdout)
    if not len(progress["epoch"]):
        raise SystemExit("the training printed no progress lines")
    fig = figure(progress, f"kemb: {pathlib.Path(args.script).stem}, {args.epochs} epochs")
    fig.savefig(args.output, dpi=100)
    plt.close(fig)
    print(f"{len(progress['epoch'])} reports plotted to {args.output}")
    print(result.stdout.splitlines()[-1])  # the script's own result line


if __name__ == "__main__":
    main()
