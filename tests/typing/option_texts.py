"""Option texts under `mypy --strict`: every misspelt text carries an ignore
for the error mypy must report there, and --strict fails on an ignore that
nothing used; the right texts carry none, so an error there fails too."""

from __future__ import annotations

import numpy as np

import kemb

x = np.zeros((4, 2), np.float32)
y = np.zeros(4, np.float32)


def classifier() -> kemb.CategoricalModel:
    model = kemb.create_categorical_model("softmax", "")
    model = kemb.add_categorical_model_layer(model, 2, 8, "dense", "relu")
    model = kemb.add_categorical_model_layer(model, layer_type="dropout", dropout_rate=0.1)
    return kemb.add_categorical_model_layer(model, 8, 3, "dense", None)


def regression() -> "kemb.LinearModel":
    model = kemb.create_linear_model("linear", "")
    return kemb.add_linear_model_layer(model, 2, 1, layer_type="dense")


optimizers = [kemb.create_optimizer("adam", 0.01, 0.0), kemb.create_optimizer("tf_adam", 1, 0),
              kemb.create_optimizer("sgd", 0.1, 1e-3)]
kemb.train_linear_model(regression(), optimizers[2], 1, 1, x, y, x, y)

kemb.create_optimizer("Adam", 0.01, 0.0)  # type: ignore[arg-type]
kemb.create_optimizer("SGD", 0.01, 0.0)  # type: ignore[arg-type]
kemb.create_optimizer("tf-adam", 0.01, 0.0)  # type: ignore[arg-type]
kemb.add_categorical_model_layer(classifier(), 3, 3, "dense", "ReLU")  # type: ignore[arg-type]
kemb.add_categorical_model_layer(classifier(), 3, 3, "Dense")  # type: ignore[arg-type]
kemb.add_categorical_model_layer(classifier(), 3, 3, "dense", "softmax")  # type: ignore[arg-type]
kemb.add_linear_model_layer(regression(), layer_type="drop_out")  # type: ignore[arg-type]
kemb.add_linear_model_layer(regression(), 1, 1, "dense ", "relu")  # type: ignore[arg-type]
kemb.create_categorical_model("Softmax", "")  # type: ignore[arg-type]
kemb.create_categorical_model("linear", "")  # type: ignore[arg-type]
kemb.create_linear_model("Linear", "")  # type: ignore[arg-type]
