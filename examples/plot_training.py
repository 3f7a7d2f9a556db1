"""Plots a training run's progress: loss and accuracy per reported epoch, for
the training and the validation set.

kemb prints its progress lines to the process's standard output, so the
training runs in a child process (examples/digits.py by default) whose
output is read line by line and parsed. Run:
    python examples/plot_training.py [--output PNG] [--epochs N] [--print-freq N]
"""

import argparse
import pathlib
import re
import subprocess
import sys
from dataclasses import dataclass, field

import matplotlib
import matplotlib.pyplot as plt
from matplotlib.figure import Figure

HERE = pathlib.Path(__file__).resolve().parent
NUMBER = r"(-?[\d.]+|NaN|-?inf)"
TRAINING = re.compile(rf"epoch: +(\d+), acc: {NUMBER}, loss: {NUMBER} ")
VALIDATION = re.compile(rf"validation:  acc: {NUMBER}, loss: {NUMBER} ")


@dataclass
class Progress:
    epochs: list[int] = field(default_factory=list)
    loss: list[float] = field(default_factory=list)
    accuracy: list[float] = field(default_factory=list)
    val_epochs: list[int] = field(default_factory=list)
    val_loss: list[float] = field(default_factory=list)
    val_accuracy: list[float] = field(default_factory=list)
    other_lines: list[str] = field(default_factory=list)


def parse(lines: list[str]) -> Progress:
    """Collects the figures of the progress lines; a validation line belongs
    to the training line before it."""
    progress = Progress()
    for line in lines:
        if match := TRAINING.match(line):
            progress.epochs.append(int(match.group(1)))
            progress.accuracy.append(float(match.group(2)))
            progress.loss.append(float(match.group(3)))
        elif (match := VALIDATION.match(line)) and progress.epochs:
            progress.val_epochs.append(progress.epochs[-1])
            progress.val_accuracy.append(float(match.group(1)))
            progress.val_loss.append(float(match.group(2)))
        else:
            progress.other_lines.append(line)
    return progress


def figure(progress: Progress, title: str) -> Figure:
    """Loss (log scale) and accuracy per reported epoch, side by side."""
    fig, (loss_axes, accuracy_axes) = plt.subplots(1, 2, figsize=(10, 4))
    loss_axes.plot(progress.epochs, progress.loss, label="training")
    loss_axes.plot(progress.val_epochs, progress.val_loss, label="validation")
    loss_axes.set(xlabel="epoch", ylabel="loss (data + regularization)", yscale="log")
    accuracy_axes.plot(progress.epochs, progress.accuracy, label="training")
    accuracy_axes.plot(progress.val_epochs, progress.val_accuracy, label="validation")
    accuracy_axes.set(xlabel="epoch", ylabel="accuracy")
    for axes in (loss_axes, accuracy_axes):
        axes.grid(alpha=0.3)
        axes.legend()
    fig.suptitle(title)
    fig.tight_layout()
    return fig


def plot(progress: Progress, title: str, output: pathlib.Path) -> None:
    fig = figure(progress, title)
    fig.savefig(output, dpi=100)
    plt.close(fig)


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
    progress = parse(result.stdout.splitlines())
    if not progress.epochs:
        raise SystemExit("the training printed no progress lines")
    name = pathlib.Path(args.script).stem
    plot(progress, f"kemb: {name}, {args.epochs} epochs", pathlib.Path(args.output))
    print(f"{len(progress.epochs)} reports plotted to {args.output}")
    if progress.other_lines:
        print(progress.other_lines[-1])


if __name__ == "__main__":
    main()
