"""Builders of model documents for tests: every field of every layer, in the
key order the library writes, arrays as {"v": 1, "dim": [...], "data": [...]}."""

import json

import numpy as np


def array(values, dims=None):
    values = np.asarray(values, dtype=np.float32)
    return {"v": 1, "dim": [int(d) for d in (values.shape if dims is None else dims)],
            "data": [float(v) for v in values.ravel()]}


def layer(layer_type="", activation_type="", weights=None, biases=None, **fields):
    """A layer object; weights/biases and other arrays as nested lists or arrays."""
    matrix, vector = array(np.zeros((0, 0))), array([])
    document = {"layer_type": layer_type, "activation_type": activation_type, "n_inputs": 0,
                "n_neurons": 0, "weights": matrix, "biases": vector}
    document.update((f"{kind}_regularizer_{norm}", 0.0) for kind in ("weight", "bias")
                    for norm in ("l1", "l2"))
    for name in ("inputs", "activation_inputs", "dweights", "dbiases", "weight_momentums",
                 "weight_cache", "bias_momentums", "bias_cache"):
        document[name] = vector if name.startswith(("dbiases", "bias_")) else matrix
    document.update(dropout_rate=0.0, binary_mask=matrix)
    if weights is not None:
        fields["weights"] = weights
        document["n_inputs"], document["n_neurons"] = np.shape(weights)
    if biases is not None:
        fields["biases"] = biases
    for key, value in fields.items():
        assert key in document, key
        document[key] = array(value) if isinstance(value, (list, np.ndarray)) else value
    return document


def categorical_model(layers, path="", output_type="softmax", **fields):
    return {"layers": layers, "output_type": output_type,
            "loss_type": "categorical_crossentropy", "acc_type": "categorical",
            "save_best_params": path, **fields}


def linear_model(layers, path="", output_type="linear", acc_precision=1.0, **fields):
    return {"layers": layers, "output_type": output_type, "loss_type": "mean_squared_error",
            "acc_type": "linear", "acc_precision": acc_precision, "save_best_params": path,
            **fields}


def write(path, document):
    with open(path, "w") as f:
        json.dump(document, f, separators=(",", ":"))
    return str(path)


def read(path):
    with open(path) as f:
        return json.load(f)


def matrix_of(array_object):
    return np.asarray(array_object["data"], np.float32).reshape(array_object["dim"])
