"""Builders of model documents for tests: every field of every layer, in the
key order the library writes, with arrays as {"v": 1, "dim": [...],
"data": [...]} objects."""

import json

import numpy as np


def array(values, dims=None):
    values = np.asarray(values, dtype=np.float32)
    if dims is None:
        dims = list(values.shape)
    return {"v": 1, "dim": [int(d) for d in dims], "data": [float(v) for v in values.ravel()]}


EMPTY_MATRIX = {"v": 1, "dim": [0, 0], "data": []}
EMPTY_VECTOR = {"v": 1, "dim": [0], "data": []}
MATRICES = {"inputs", "activation_inputs", "dweights", "weight_momentums", "weight_cache"}


def layer(layer_type="", activation_type="", weights=None, biases=None, **fields):
    """A layer object; weights/biases given as nested lists or arrays."""
    document = {"layer_type": layer_type, "activation_type": activation_type, "n_inputs": 0,
                "n_neurons": 0, "weights": EMPTY_MATRIX, "biases": EMPTY_VECTOR}
    document.update((f"{kind}_regularizer_{norm}", 0.0) for kind in ("weight", "bias")
                    for norm in ("l1", "l2"))
    document.update((name, EMPTY_MATRIX if name in MATRICES else EMPTY_VECTOR) for name in (
        "inputs", "activation_inputs", "dweights", "dbiases", "weight_momentums", "weight_cache",
        "bias_momentums", "bias_cache"))
    document.update(dropout_rate=0.0, binary_mask=EMPTY_MATRIX)
    if weights is not None:
        weights = np.asarray(weights, np.float32)
        document["weights"] = array(weights)
        document["n_inputs"], document["n_neurons"] = (int(d) for d in weights.shape)
    if biases is not None:
        document["biases"] = array(biases)
    for key, value in fields.items():
        assert key in document, key
        if isinstance(value, (list, np.ndarray)):
            value = array(value)
        document[key] = value
    return document


def categorical_model(layers, path="", output_type="softmax", **fields):
    document = {"layers": layers, "output_type": output_type,
                "loss_type": "categorical_crossentropy", "acc_type": "categorical",
                "save_best_params": path}
    document.update(fields)
    return document


def linear_model(layers, path="", output_type="linear", acc_precision=1.0, **fields):
    document = {"layers": layers, "output_type": output_type, "loss_type": "mean_squared_error",
                "acc_type": "linear", "acc_precision": acc_precision, "save_best_params": path}
    document.update(fields)
    return document


def write(path, document):
    with open(path, "w") as f:
        json.dump(document, f, separators=(",", ":"))
    return str(path)


def read(path):
    with open(path) as f:
        return json.load(f)


def matrix_of(array_object):
    return np.asarray(array_object["data"], np.float32).reshape(array_object["dim"])
