"""The progress lines of a kemb training call, as arrays."""

from __future__ import annotations

import re

import numpy as np
from numpy.typing import NDArray

# Losses and accuracies have 3 decimals, the learning rate is the shortest
# text of a float32; any of them may be NaN or an infinity. The loss text
# inside the brackets is the model's own and may hold anything, so the
# figures after it are found from the end of the line.
_NUMBER = r"(-?\d+(?:\.\d+)?|NaN|-?inf)"
_LOSSES = rf"acc: {_NUMBER}, loss: {_NUMBER} \[.*: {_NUMBER}, reg: {_NUMBER}\]"
_TRAINING = re.compile(rf"epoch: *(\d+), {_LOSSES}, lr {_NUMBER}")
_VALIDATION = re.compile(rf"validation:  {_LOSSES}")


def read_progress(text: str) -> dict[str, NDArray[np.generic]]:
    """Turns the progress lines of kemb training calls into arrays.

    kemb prints its lines to file descriptor 1, not to `sys.stdout`; capture
    them with wurlitzer (`with wurlitzer.pipes(stderr=None) as (out, _):`
    around the call, then `out.getvalue()`), a subprocess, or a file. Other
    lines in `text` (evaluation reports, your own prints) are skipped.

    Args:
        text: the captured output.

    Returns:
        A dict of arrays, one entry per progress report:
        "epoch" (int64), "acc", "loss" (the data loss plus the
        regularization loss, as the line's first loss figure) and "lr" (the
        learning rate of that epoch) from the training lines; "val_acc" and
        "val_loss" from the validation lines, each of which belongs to the
        training line before it. Without a validation set these two are
        empty. Figures are float64 holding the printed decimals; NaN and
        infinities are kept. Lines from several calls follow each other.
    """
    columns: dict[str, list[float]] = {key: [] for key in
                                       ("epoch", "acc", "loss", "lr", "val_acc", "val_loss")}
    for line in text.splitlines():
        if match := _TRAINING.fullmatch(line):
            epoch, acc, loss, _, _, lr = match.groups()
            for key, value in (("epoch", epoch), ("acc", acc), ("loss", loss), ("lr", lr)):
                columns[key].append(float(value))
        elif match := _VALIDATION.fullmatch(line):
            columns["val_acc"].append(float(match.group(1)))
            columns["val_loss"].append(float(match.group(2)))
    return {key: np.array(values, dtype=np.int64 if key == "epoch" else np.float64)
            for key, values in columns.items()}
