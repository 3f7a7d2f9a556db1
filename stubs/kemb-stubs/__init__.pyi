"""Type information for the kemb extension module.

The three classes are not attributes of the module at run time: their
objects come only from the module's functions. They are named here so that
code can annotate with them.
"""

from typing import SupportsFloat, SupportsIndex, final

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

@final
class LinearModel:
    """A regression model: layers, output, loss and accuracy kinds, and the
    path its best state is saved to. Made by create_linear_model,
    add_linear_model_layer and load_linear_model; it has no constructor."""

@final
class CategoricalModel:
    """A classification model. Made by create_categorical_model,
    add_categorical_model_layer and load_categorical_model; it has no
    constructor."""

@final
class DynamicOptimizer:
    """An optimizer: "adam", "tf_adam" or "sgd" with a decaying learning
    rate. Made by create_optimizer; it has no constructor."""

def create_linear_model(output_type: str, save_best_params: str) -> LinearModel: ...
def create_categorical_model(output_type: str, save_best_params: str) -> CategoricalModel: ...
def add_linear_model_layer(
    model: LinearModel,
    n_inputs: SupportsIndex | None = None,
    n_neurons: SupportsIndex | None = None,
    layer_type: str | None = None,
    activation_type: str | None = None,
    dropout_rate: _Float | None = None,
) -> LinearModel: ...
def add_categorical_model_layer(
    model: CategoricalModel,
    n_inputs: SupportsIndex | None = None,
    n_neurons: SupportsIndex | None = None,
    layer_type: str | None = None,
    activation_type: str | None = None,
    dropout_rate: _Float | None = None,
) -> CategoricalModel: ...
def create_optimizer(opt_type: str, learning_rate: _Float, decay: _Float) -> DynamicOptimizer: ...
def train_linear_model(
    model: LinearModel,
    opt: DynamicOptimizer,
    num_epochs: SupportsIndex,
    print_freq: SupportsIndex,
    x: NDArray[np.float32],
    y: NDArray[np.float32],
    val_x: NDArray[np.float32],
    val_y: NDArray[np.float32],
) -> None: ...
def train_categorical_model(
    model: CategoricalModel,
    opt: DynamicOptimizer,
    num_epochs: SupportsIndex,
    print_freq: SupportsIndex,
    x: NDArray[np.float32],
    y: NDArray[np.int32],
    val_x: NDArray[np.float32],
    val_y: NDArray[np.int32],
) -> None: ...
def load_linear_model(save_best_params: str) -> LinearModel: ...
def evaluate_linear_model(
    model: LinearModel, val_x: NDArray[np.float32], val_y: NDArray[np.float32]
) -> None: ...
def load_categorical_model(save_best_params: str) -> CategoricalModel: ...
def evaluate_categorical_model(
    model: CategoricalModel, val_x: NDArray[np.float32], val_y: NDArray[np.int32]
) -> None: ...
