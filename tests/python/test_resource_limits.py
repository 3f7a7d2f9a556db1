"""Impossible sizes: layers of 2**40 x 2**40 or 2**46 x 1 inputs, and model
files whose shapes claim hundreds of terabytes, end the call with
PanicException ("capacity overflow", "memory allocation of N bytes failed")
instead of aborting the process, and the interpreter goes on training,
saving and loading as before."""

import numpy as np

import kemb
import model_files as mf
from conftest import NONE, outcome

X = np.ones((8, 3), np.float32)
# Unbalanced labels: with balanced ones and equal inputs the loss can stay at
# log 2 for all five epochs, so nothing is saved and the load fails.
LABELS = (np.arange(8) % 3 == 0).astype(np.int32)
SGD = kemb.create_optimizer("sgd", 0.1, 0.0)


def train(n_inputs, n_neurons, path=""):
    model = kemb.create_categorical_model("softmax", path)
    model = kemb.add_categorical_model_layer(model, n_inputs, n_neurons, "dense")
    kemb.train_categorical_model(model, SGD, 5, 10, X, LABELS, NONE, LABELS)


def evaluate_claimed(path, columns, rows):
    layer = mf.layer("dense")
    layer["weights"] = {"v": 1, "dim": [0, columns], "data": []}
    model = kemb.load_categorical_model(mf.write(path, mf.categorical_model([layer])))
    kemb.evaluate_categorical_model(model, np.zeros((rows, 0), np.float32), LABELS[:rows])


def test_impossible_sizes_raise_panic_and_leave_the_interpreter_usable(tmp_path):
    calls = [lambda: train(2**40, 2**40), lambda: train(2**46, 1), lambda: train(1, 2**46),
             lambda: evaluate_claimed(tmp_path / "huge.json", 2**46, 2),
             lambda: evaluate_claimed(tmp_path / "overflowing.json", 2**62, 8),
             lambda: train(3, 2, str(tmp_path / "after.json")),
             lambda: kemb.load_categorical_model(str(tmp_path / "after.json"))]
    assert [outcome(call) for call in calls] == [
        "PanicException: capacity overflow",
        "PanicException: memory allocation of 281474976710656 bytes failed",
        "PanicException: memory allocation of 281474976710656 bytes failed",
        "PanicException: memory allocation of 562949953421312 bytes failed",
        "PanicException: capacity overflow",
        "ok",
        "ok",
    ]
