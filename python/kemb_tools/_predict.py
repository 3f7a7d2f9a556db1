"""kemb's forward pass in NumPy, float32 throughout, in the order kemb
computes it: the classes and values that its evaluation prints."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._model_file import Model, PathLike, read_model

F = np.float32


def predict(model_file: PathLike, x: ArrayLike) -> NDArray[Any]:
    """Predicts with a model that kemb's training saved.

    Runs the rows of `x` through the model in `model_file` as
    `kemb.evaluate_categorical_model` / `kemb.evaluate_linear_model` do,
    without printing: dense layers (x . W + b), the rectifier where a layer
    has "relu", dropout layers as the identity (as outside training), then
    the model's output.

    Args:
        model_file: path of a model file written by `kemb.train_*_model`
            (its `save_best_params`). The kind is read from the file: only
            regression files hold `acc_precision`.
        x: samples x features; converted to float32 as kemb requires.

    Returns:
        For a classifier, int32 classes, one per row: the index of the
        highest softmax output, the lowest class on a tie (the "Predicted"
        figures that kemb's evaluation prints). For a regression model,
        float32 values, one per row: the first output column (its
        "Predicted" figures, which it prints to 3 decimals). The products
        may sum in another order than kemb's BLAS, so a value can differ in
        its last bits.

    Raises:
        ValueError: the file is not a kemb model file, or holds a model that
            kemb predicts nothing for (an output_type other than "softmax" for
            a classifier or "linear" for a regression model, a layer that is
            neither "dense" nor "dropout", layers whose sizes do not chain), or
            `x` is not a 2-D array with the columns the first dense layer
            takes. The message says what is wrong and what was expected.
        OSError: the file cannot be read.
    """
    model = read_model(model_file)
    model.check_predicts(model.kind)
    inputs = _inputs(model, x)
    output = _forward(model, inputs)
    if model.kind == "linear":
        return np.ascontiguousarray(output[:, 0])
    return _classes(_softmax(output))


def _inputs(model: Model, x: ArrayLike) -> NDArray[np.float32]:
    with np.errstate(over="ignore"):
        array = np.asarray(x, dtype=F)
    first = next((layer for layer in model.layers if layer.layer_type == "dense"), None)
    width = f"({first.weights.shape[0]} columns)" if first is not None else ""
    if array.ndim != 2:
        raise ValueError(f"x has shape {array.shape}; expected a 2-D array of samples x "
                         f"features {width}".rstrip())
    if first is not None and array.shape[1] != first.weights.shape[0]:
        raise ValueError(f"x has {array.shape[1]} columns; expected {first.weights.shape[0]}, "
                         f"the inputs of the model's first dense layer")
    return array


def _forward(model: Model, x: NDArray[np.float32]) -> NDArray[np.float32]:
    """The last layer's output; the sizes are checked before any product."""
    width = x.shape[1]
    for index, layer in enumerate(model.layers):
        if layer.layer_type == "dense":
            rows, cols = layer.weights.shape
            if rows != width or cols == 0:
                model.fail(f"layer {index}'s weights are {rows} x {cols}, after an output of "
                           f"{width} columns", f"weights of {width} rows (a trained dense layer)")
            if layer.biases.shape[0] < cols:
                model.fail(f"layer {index} has {layer.biases.shape[0]} biases",
                           f"{cols}, one per neuron")
            width = cols
    if width == 0:
        model.fail("the model gives no output columns", "at least one")

    current = x
    with np.errstate(over="ignore", invalid="ignore"):
        for layer in model.layers:
            if layer.layer_type == "dense":
                current = current @ layer.weights
                current = current + layer.biases[: current.shape[1]]
            # Dropout is the identity outside training. The rectifier applies
            # after any layer kind; zero, -0.0 and NaN pass unchanged.
            if layer.activation_type == "relu":
                current = np.where(current < 0, F(0), current)
    return current


def _softmax(z: NDArray[np.float32]) -> NDArray[np.float32]:
    """Row-wise softmax in kemb's order: maximum, exponentials, a sum from
    left to right, divisions. The exponential is taken in double and rounded
    to float32, as the C library's expf does up to rare last-bit cases."""
    with np.errstate(over="ignore", invalid="ignore"):
        shifted = z - z.max(axis=1, keepdims=True)  # a NaN or infinity makes the row NaN
        e = np.exp(shifted.astype(np.float64)).astype(F)
        total = e[:, 0].copy()
        for j in range(1, e.shape[1]):
            total += e[:, j]
        probabilities: NDArray[np.float32] = e / total[:, None]
        return probabilities


def _classes(p: NDArray[np.float32]) -> NDArray[np.int32]:
    """kemb's arg-max: a column replaces the best so far only when strictly
    greater, so ties go to the lowest class and a NaN never wins."""
    best = np.zeros(p.shape[0], np.int32)
    best_value = p[:, 0].copy()
    for j in range(1, p.shape[1]):
        greater = p[:, j] > best_value
        best[greater] = j
        best_value[greater] = p[greater, j]
    return best
