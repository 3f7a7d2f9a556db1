"""Impossible sizes from a script: layers of 2**40 x 2**40 or 2**46 x 1
inputs, and a model file whose shapes claim hundreds of terabytes, end the
call with PanicException ("capacity overflow", "memory allocation of N
bytes failed") instead of aborting the process, and the interpreter goes on
training and loading as before."""

import json

import numpy as np

import model_files as mf
from conftest import run_kemb

CHILD = """
import json

results = []


def attempt(call):
    try:
        call()
        results.append("ok")
    except BaseException as error:
        results.append(type(error).__name__ + ": " + str(error))


x, labels = data["x"], data["labels"]
none = np.zeros((0, 0), np.float32)
sgd = kemb.create_optimizer("sgd", 0.1, 0.0)


def train(n_inputs, n_neurons):
    model = kemb.create_categorical_model("softmax", "")
    model = kemb.add_categorical_model_layer(model, n_inputs, n_neurons, "dense")
    kemb.train_categorical_model(model, sgd, 2, 1, x, labels, none, labels)


attempt(lambda: train(2**40, 2**40))
attempt(lambda: train(2**46, 1))
attempt(lambda: train(1, 2**46))
huge = kemb.load_categorical_model("huge.json")
attempt(lambda: kemb.evaluate_categorical_model(huge, np.zeros((2, 0), np.float32), labels[:2]))
overflowing = kemb.load_categorical_model("overflowing.json")
attempt(lambda: kemb.evaluate_categorical_model(overflowing, np.zeros((8, 0), np.float32),
                                                labels[:8]))
# The same interpreter still trains, saves and loads.
model = kemb.create_categorical_model("softmax", "after.json")
model = kemb.add_categorical_model_layer(model, 3, 2, "dense")
attempt(lambda: kemb.train_categorical_model(model, sgd, 5, 10, x, labels, none, labels))
attempt(lambda: kemb.load_categorical_model("after.json"))
print(json.dumps(results))
"""


def test_impossible_sizes_raise_panic_and_leave_the_interpreter_usable(tmp_path):
    for name, columns in (("huge.json", 2**46), ("overflowing.json", 2**62)):
        layer = mf.layer("dense", weights=None)
        layer["weights"] = {"v": 1, "dim": [0, columns], "data": []}
        mf.write(tmp_path / name, mf.categorical_model([layer]))
    x = np.ones((8, 3), np.float32)
    # Unbalanced labels: with balanced ones and equal inputs the loss can stay
    # at log 2 for all five epochs, so nothing is saved and the load fails.
    labels = (np.arange(8) % 3 == 0).astype(np.int32)
    result = run_kemb(tmp_path, CHILD, x=x, labels=labels)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == [
        "PanicException: capacity overflow",
        "PanicException: memory allocation of 281474976710656 bytes failed",
        "PanicException: memory allocation of 281474976710656 bytes failed",
        "PanicException: memory allocation of 562949953421312 bytes failed",
        "PanicException: capacity overflow",
        "ok",
        "ok",
    ]
