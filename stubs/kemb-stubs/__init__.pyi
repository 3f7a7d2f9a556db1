"""Type information for the kemb extension module.

The option texts are typed with the words kemb recognises, so that a type
checker flags "Adam", "ReLU" or "Dense": at run time kemb accepts any text
and a text it does not recognise switches its piece off without an error.

The three classes are not attributes of the module at run time: their
objects come only from the module's functions. They are named here for
annotations only: quote them (`-> "kemb.CategoricalModel"`) or put
`from __future__ import annotations` at the top of the file.
"""

from typing import Literal, SupportsFloat, SupportsIndex, final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "create_linear_model",
    "create_categorical_model",
    "add_linear_model_layer",
    "add_categorical_model_layer",
    "create_optimizer",
    "train_linear_model",
    "train_categorical_model",
    "load_linear_model",
    "evaluate_linear_model",
    "load_categorical_model",
    "evaluate_categorical_model",
]

_Float = SupportsFloat | SupportsIndex
# The texts kemb compares against, byte for byte.
_LayerType = Literal["dense", "dropout"]
_Activation = Literal["relu"]
_LinearOutput = Literal["linear"]
_CategoricalOutput = Literal["softmax"]
_OptimizerType = Literal["adam", "tf_adam", "sgd"]

@final
class LinearModel:
    """A regression model: layers, output, loss and accuracy kinds, and the
    path its best state is saved to. Made by create_linear_model,
    add_linear_model_layer and load_linear_model; it has no constructor.

    Not an attribute of the module at run time: annotate with
    "kemb.LinearModel" in quotes, or under `from __future__ import
    annotations`."""

@final
class CategoricalModel:
    """A classification model. Made by create_categorical_model,
    add_categorical_model_layer and load_categorical_model; it has no
    constructor.

    Not an attribute of the module at run time: annotate with
    "kemb.CategoricalModel" in quotes, or under `from __future__ import
    annotations`."""

@final
class DynamicOptimizer:
    """An optimizer: "adam", "tf_adam" or "sgd" with a decaying learning
    rate. Made by create_optimizer; it has no constructor.

    Not an attribute of the module at run time: annotate with
    "kemb.DynamicOptimizer" in quotes, or under `from __future__ import
    annotations`."""

def create_linear_model(output_type: _LinearOutput, save_best_params: str) -> LinearModel:
    """Creates a regression model without layers.

    Args:
        output_type: "linear": the prediction is the first output column.
            Any other text leaves the model without predictions, and its
            training fails in the first epoch.
        save_best_params: the file that training writes the best model to
            (JSON); "" never saves.

    Returns a new LinearModel (mean squared error loss, accuracy within
    1.0 of the target). Prints nothing.

    Raises:
        TypeError: an argument is not a str.
    """

def create_categorical_model(
    output_type: _CategoricalOutput, save_best_params: str
) -> CategoricalModel:
    """Creates a classification model without layers.

    Args:
        output_type: "softmax": the output is a softmax over the classes
            and the prediction its highest class. Any other text leaves the
            model without predictions (accuracy NaN, no evaluation lines).
        save_best_params: the file that training writes the best model to
            (JSON); "" never saves.

    Returns a new CategoricalModel (cross-entropy loss, arg-max accuracy).
    Prints nothing.

    Raises:
        TypeError: an argument is not a str.
    """

def add_linear_model_layer(
    model: LinearModel,
    n_inputs: SupportsIndex | None = None,
    n_neurons: SupportsIndex | None = None,
    layer_type: _LayerType | None = None,
    activation_type: _Activation | None = None,
    dropout_rate: _Float | None = None,
) -> LinearModel:
    """Returns a copy of `model` with one more layer at the end; `model`
    itself is unchanged.

    Args:
        model: the model to extend.
        n_inputs: inputs of a dense layer (the previous layer's neurons).
        n_neurons: outputs of a dense layer.
        layer_type: "dense" (x . W + b) or "dropout" (drops inputs in
            training only). Any other text makes a layer with no output.
        activation_type: "relu" for the rectifier after the layer; None
            for none.
        dropout_rate: the share of inputs a dropout layer drops, 0 to 1.

    Nothing is checked here; sizes and rates meet the data in training.
    Weights are drawn by each training call. Prints nothing.

    Raises:
        TypeError: an argument of the wrong kind (the message names it).
        OverflowError: a negative or too large size.
    """

def add_categorical_model_layer(
    model: CategoricalModel,
    n_inputs: SupportsIndex | None = None,
    n_neurons: SupportsIndex | None = None,
    layer_type: _LayerType | None = None,
    activation_type: _Activation | None = None,
    dropout_rate: _Float | None = None,
) -> CategoricalModel:
    """Returns a copy of `model` with one more layer at the end; `model`
    itself is unchanged.

    Args:
        model: the model to extend.
        n_inputs: inputs of a dense layer (the previous layer's neurons).
        n_neurons: outputs of a dense layer (the classes, for the last).
        layer_type: "dense" (x . W + b) or "dropout" (drops inputs in
            training only). Any other text makes a layer with no output.
        activation_type: "relu" for the rectifier after the layer; None
            for none (the softmax is the model's output, not a layer's).
        dropout_rate: the share of inputs a dropout layer drops, 0 to 1.

    Nothing is checked here; sizes and rates meet the data in training.
    Weights are drawn by each training call. Prints nothing.

    Raises:
        TypeError: an argument of the wrong kind (the message names it).
        OverflowError: a negative or too large size.
    """

def create_optimizer(
    opt_type: _OptimizerType, learning_rate: _Float, decay: _Float
) -> DynamicOptimizer:
    """Creates an optimizer.

    Args:
        opt_type: "adam", "tf_adam" (Adam as TensorFlow computes it) or
            "sgd". Any other text updates nothing, without an error.
        learning_rate: the rate of the first epoch.
        decay: epoch k trains with learning_rate / (1 + decay * (k - 1)).

    Returns a new DynamicOptimizer (Adam's beta_1 0.9, beta_2 0.999,
    epsilon 1e-7). Prints nothing.

    Raises:
        TypeError: an argument of the wrong kind (the message names it).
    """

def train_linear_model(
    model: LinearModel,
    opt: DynamicOptimizer,
    num_epochs: SupportsIndex,
    print_freq: SupportsIndex,
    x: NDArray[np.float32],
    y: NDArray[np.float32],
    val_x: NDArray[np.float32],
    val_y: NDArray[np.float32],
) -> None:
    """Trains a copy of `model` full-batch and saves its best state.

    Draws fresh weights, then runs `num_epochs` epochs over all of `x`:
    forward pass, mean squared error, backward pass, one optimizer step.
    Whenever the training loss reaches a new low (never in epoch 1), the
    model is written to its save_best_params file; load it with
    load_linear_model. `model` and `opt` are unchanged; returns None.

    Args:
        model, opt: the model and the optimizer.
        num_epochs: epochs to run, 0 to 65535.
        print_freq: about how many progress reports to print: one every
            num_epochs // print_freq epochs (none when that is 0).
        x: float32 samples x features; y: float32 targets, one per sample.
        val_x, val_y: the same for validation; a 0 x 0 val_x skips it.

    Prints to file descriptor 1 (not sys.stdout), per report:
    "epoch: {n:4}, acc: {acc:.3}, loss: {loss:.3} [mean_squared_error:
    {data:.3}, reg: {reg:.3}], lr {lr}" and, with validation,
    "validation:  acc: ..., loss: ... [...]".

    Raises:
        TypeError: an argument of the wrong kind, for instance a float64
            array (the message names it), before any work.
        OverflowError: num_epochs or print_freq outside 0 to 65535.
        PanicException: (a BaseException, not an Exception) print_freq 0,
            shapes that do not fit, a file that cannot be written.
    """

def train_categorical_model(
    model: CategoricalModel,
    opt: DynamicOptimizer,
    num_epochs: SupportsIndex,
    print_freq: SupportsIndex,
    x: NDArray[np.float32],
    y: NDArray[np.int32],
    val_x: NDArray[np.float32],
    val_y: NDArray[np.int32],
) -> None:
    """Trains a copy of `model` full-batch and saves its best state.

    Draws fresh weights, then runs `num_epochs` epochs over all of `x`:
    forward pass, softmax cross-entropy, backward pass, one optimizer step.
    Whenever the training loss reaches a new low (never in epoch 1), the
    model is written to its save_best_params file; load it with
    load_categorical_model. `model` and `opt` are unchanged; returns None.

    Args:
        model, opt: the model and the optimizer.
        num_epochs: epochs to run, 0 to 65535.
        print_freq: about how many progress reports to print: one every
            num_epochs // print_freq epochs (none when that is 0).
        x: float32 samples x features; y: int32 class indices (not
            one-hot), one per sample.
        val_x, val_y: the same for validation; a 0 x 0 val_x skips it.

    Prints to file descriptor 1 (not sys.stdout), per report:
    "epoch: {n:4}, acc: {acc:.3}, loss: {loss:.3} [categorical_crossentropy:
    {data:.3}, reg: {reg:.3}], lr {lr}" and, with validation,
    "validation:  acc: ..., loss: ... [...]".

    Raises:
        TypeError: an argument of the wrong kind, for instance int64 labels
            (the message names it), before any work.
        OverflowError: num_epochs or print_freq outside 0 to 65535.
        PanicException: (a BaseException, not an Exception) print_freq 0,
            a label out of range, shapes that do not fit, a file that cannot
            be written.
    """

def load_linear_model(save_best_params: str) -> LinearModel:
    """Loads a regression model from a file that training wrote.

    Args:
        save_best_params: the file's path.

    Returns a new LinearModel with the saved weights (and the
    save_best_params stored in the file). Prints nothing.

    Raises:
        TypeError: the path is not a str.
        PanicException: (a BaseException, not an Exception) the file cannot
            be opened, or does not hold a regression model (a classifier's
            file lacks acc_precision); the message gives the line and column.
    """

def evaluate_linear_model(
    model: LinearModel, val_x: NDArray[np.float32], val_y: NDArray[np.float32]
) -> None:
    """Evaluates `model` as it stands (load it first: a model that was never
    trained has no weights) on `val_x` against the targets `val_y`.

    Prints to file descriptor 1, per sample "True: {target:.3}, Predicted:
    {prediction:.3}, Error {abs difference:.3}", then "Validation MSE:
    {mean absolute error:.3}, Accuracy {share within acc_precision:.1}%".
    Returns None.

    Raises:
        TypeError: an argument of the wrong kind (the message names it).
        PanicException: (a BaseException, not an Exception) shapes that do
            not fit the model, fewer targets than samples.
    """

def load_categorical_model(save_best_params: str) -> CategoricalModel:
    """Loads a classification model from a file that training wrote.

    Args:
        save_best_params: the file's path.

    Returns a new CategoricalModel with the saved weights (and the
    save_best_params stored in the file). A regression model's file loads
    too. Prints nothing.

    Raises:
        TypeError: the path is not a str.
        PanicException: (a BaseException, not an Exception) the file cannot
            be opened or does not hold a model; the message gives the line
            and column.
    """

def evaluate_categorical_model(
    model: CategoricalModel, val_x: NDArray[np.float32], val_y: NDArray[np.int32]
) -> None:
    """Evaluates `model` as it stands (load it first: a model that was never
    trained has no weights) on `val_x` against the labels `val_y`.

    Prints to file descriptor 1, per sample "True: {label}, Predicted:
    {class}, Certainty: {100 x the output at the true label:.1}%", then
    "Validation accuracy {accuracy:.1}%". Returns None.

    Raises:
        TypeError: an argument of the wrong kind (the message names it).
        PanicException: (a BaseException, not an Exception) shapes that do
            not fit the model, a label out of range, fewer labels than
            samples.
    """
