"""Reading the model files that kemb's training saves.

Only what a forward pass needs is kept: each layer's kind, its rectifier
flag, its weights and biases, and the model's output text and kind. The
caches and the optimizer state that the file also holds are read (JSON has
no way to skip them) but dropped as soon as they are parsed.
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass
from typing import Any, Literal, NoReturn, Union

import numpy as np
from numpy.typing import NDArray

Kind = Literal["categorical", "linear"]
PathLike = Union[str, "os.PathLike[str]"]

# Field names in file order; the array form of a record lists its values in
# this order, as kemb's loader accepts.
LAYER_FIELDS = (
    "layer_type", "activation_type", "n_inputs", "n_neurons", "weights", "biases",
    "weight_regularizer_l1", "weight_regularizer_l2", "bias_regularizer_l1",
    "bias_regularizer_l2", "inputs", "activation_inputs", "dweights", "dbiases",
    "weight_momentums", "weight_cache", "bias_momentums", "bias_cache", "dropout_rate",
    "binary_mask",
)
LINEAR_FIELDS = ("layers", "output_type", "loss_type", "acc_type", "acc_precision",
                 "save_best_params")
CATEGORICAL_FIELDS = ("layers", "output_type", "loss_type", "acc_type", "save_best_params")
ARRAY_KEYS = ("v", "dim", "data")
# The output text each kind predicts with; any other text predicts nothing.
OUTPUT_TYPE: dict[Kind, str] = {"categorical": "softmax", "linear": "linear"}

EXPECTED_MODEL = ("a JSON object with the keys layers, output_type, loss_type, acc_type, "
                  "save_best_params and, for a regression model, acc_precision, as kemb's "
                  "training writes it")
EXPECTED_ARRAY = 'an array object {"v": 1, "dim": [...], "data": [...]}'


@dataclass(frozen=True)
class Layer:
    layer_type: str
    activation_type: str
    weights: NDArray[np.float32]  # (n_inputs, n_neurons) for a trained dense layer
    biases: NDArray[np.float32]   # (n_neurons,)


@dataclass(frozen=True)
class Model:
    name: str  # the path as given, for messages
    kind: Kind
    output_type: str
    layers: list[Layer]

    def fail(self, problem: str, expected: str) -> NoReturn:
        fail(self.name, problem, expected)

    def check_predicts(self, kind: Kind) -> None:
        """Fails unless kemb predicts something with this model read as a
        `kind` model: the output text of that kind, and layers that are all
        "dense" or "dropout" (any other layer gives no output)."""
        expected_output = OUTPUT_TYPE[kind]
        if self.output_type != expected_output:
            self.fail(f"output_type is {self.output_type!r}, for which kemb predicts nothing",
                      f"{expected_output!r} for a {kind} model")
        for index, layer in enumerate(self.layers):
            if layer.layer_type not in ("dense", "dropout"):
                self.fail(f"layer {index}'s layer_type is {layer.layer_type!r}, which gives no "
                          "output", "'dense' or 'dropout'")


def fail(name: str, problem: str, expected: str) -> NoReturn:
    raise ValueError(f"{name}: {problem}; expected {expected}")


class _BadArray:
    """An array object that does not hold an array, kept until the reader
    knows which field it was, so that the message can name it."""

    def __init__(self, problem: str) -> None:
        self.problem = problem


def _array_object(obj: dict[str, Any]) -> dict[str, Any] | NDArray[np.float32] | _BadArray:
    """json's object hook: array objects become float32 arrays at once (a
    file's caches can hold a whole data set, 8 times smaller this way)."""
    if obj.keys() != set(ARRAY_KEYS):
        return obj
    return _to_array(obj["v"], obj["dim"], obj["data"])


def _to_array(v: Any, dim: Any, data: Any) -> NDArray[np.float32] | _BadArray:
    if v != 1 or isinstance(v, bool):
        return _BadArray(f"its version v is {v!r}, not 1")
    if (not isinstance(dim, list) or not dim
            or not all(isinstance(n, int) and not isinstance(n, bool) and n >= 0 for n in dim)):
        return _BadArray(f"its dim {dim!r} is not a list of sizes")
    if not isinstance(data, list) or any(isinstance(value, (list, dict, str)) for value in data):
        return _BadArray("its data is not a list of numbers")
    size = math.prod(dim)
    if len(data) != size:
        return _BadArray(f"it has {len(data)} values for dim {dim}, which needs {size}")
    try:
        # NaN and infinities are saved as null; None becomes NaN here.
        with np.errstate(over="ignore"):
            return np.array(data, dtype=np.float32).reshape(dim)
    except (TypeError, ValueError, OverflowError):
        return _BadArray("its data is not a list of numbers")


def _fields(record: Any, fields: tuple[str, ...], what: str, name: str,
            expected: str) -> dict[str, Any]:
    """A record given as an object or, as kemb's loader also reads it, as
    the list of its field values in file order."""
    if isinstance(record, list):
        if len(record) != len(fields):
            fail(name, f"{what} is a list of {len(record)} values", expected)
        return dict(zip(fields, record))
    if not isinstance(record, dict):
        fail(name, f"{what} is {_json_type(record)}", expected)
    missing = [field for field in fields if field not in record]
    if missing:
        fail(name, f"{what} has no key {missing[0]!r}", expected)
    return record


def _json_type(value: Any) -> str:
    for kind, text in ((dict, "an object"), (list, "a list"), (str, "a string"), (bool, "a boolean"),
                       (int, "a number"), (float, "a number")):
        if isinstance(value, kind):
            return text
    return "null"


def _matrix(value: Any, ndim: int, what: str, name: str) -> NDArray[np.float32]:
    if isinstance(value, list) and len(value) == 3:  # the array form [v, dim, data]
        value = _to_array(*value)
    if isinstance(value, _BadArray):
        fail(name, f"{what} is not an array: {value.problem}", EXPECTED_ARRAY)
    if not isinstance(value, np.ndarray):
        fail(name, f"{what} is {_json_type(value)}", EXPECTED_ARRAY)
    if value.ndim != ndim:
        fail(name, f"{what} has {value.ndim} dimensions", f"{ndim} ({EXPECTED_ARRAY})")
    return value


def read_model(model_file: PathLike) -> Model:
    """The model saved in `model_file`, with its kind: only regression files
    hold acc_precision. Raises ValueError when the file is not a model."""
    name = os.fspath(model_file)
    with open(model_file, "rb") as f:
        try:
            document = json.load(f, object_hook=_array_object)
        except (json.JSONDecodeError, UnicodeDecodeError) as error:
            fail(name, f"not a kemb model file: it is not JSON ({error})", EXPECTED_MODEL)
    if isinstance(document, list):
        kind: Kind = "linear" if len(document) == len(LINEAR_FIELDS) else "categorical"
    else:
        kind = "linear" if isinstance(document, dict) and "acc_precision" in document else \
            "categorical"
    fields = LINEAR_FIELDS if kind == "linear" else CATEGORICAL_FIELDS
    model = _fields(document, fields, "not a kemb model file: the document", name, EXPECTED_MODEL)
    if not isinstance(model["layers"], list):
        fail(name, f"layers is {_json_type(model['layers'])}", "a list of layer objects")
    if not isinstance(model["output_type"], str):
        fail(name, f"output_type is {_json_type(model['output_type'])}", "a string")
    layers = []
    for index, record in enumerate(model["layers"]):
        what = f"layer {index}"
        layer = _fields(record, LAYER_FIELDS, what, name,
                        "an object with the 20 fields of a kemb layer")
        for text in ("layer_type", "activation_type"):
            if not isinstance(layer[text], str):
                fail(name, f"{what}'s {text} is {_json_type(layer[text])}", "a string")
        layers.append(Layer(layer["layer_type"], layer["activation_type"],
                            _matrix(layer["weights"], 2, f"{what}'s weights", name),
                            _matrix(layer["biases"], 1, f"{what}'s biases", name)))
    return Model(name, kind, model["output_type"], layers)
