"""The save rule of training, what the file holds, copy-in of the passed
objects, retraining loaded models and a broken standard output."""

import os
import subprocess
import sys

import numpy as np
import pytest

import kemb
import model_files as mf
from conftest import F, NONE, outcome

RNG = np.random.default_rng(5)
X = RNG.normal(size=(16, 3)).astype(F)
TARGETS = (X @ np.array([1.0, -2.0, 0.5], F) + F(0.3)).astype(F)


def train_linear(path, epochs, opt=("sgd", 0.05, 0.0), print_freq=None):
    model = kemb.create_linear_model("linear", str(path))
    model = kemb.add_linear_model_layer(model, 3, 1, "dense")
    return outcome(lambda: kemb.train_linear_model(model, kemb.create_optimizer(*opt), epochs,
                                                   print_freq or epochs, X, TARGETS, NONE, TARGETS))


@pytest.mark.parametrize("epochs, opt, saved", [
    (1, ("sgd", 0.05, 0.0), False),  # no save in the first epoch
    (2, ("sgd", 0.05, 0.0), True),
    (5, ("sgd", 0.0, 0.0), False),  # equal losses never save
    (5, ("no rule", 0.1, 0.0), False),
])
def test_save_rule(tmp_path, monkeypatch, epochs, opt, saved):
    assert train_linear(tmp_path / "model.json", epochs, opt) == "ok"
    assert sorted(os.listdir(tmp_path)) == (["model.json"] if saved else [])
    monkeypatch.chdir(tmp_path)
    assert train_linear("", 5) == "ok" and len(os.listdir(tmp_path)) == saved  # "" never saves


def gradient(weights, biases):  # of the mean squared error, for one dense output
    output = X @ weights + biases
    return X.T @ ((TARGETS[:, None] - output) * F(-2.0) / F(len(X)))


def test_the_file_holds_the_model_after_the_update(tmp_path):
    path = tmp_path / "model.json"
    rate = F(0.05)
    assert train_linear(path, 3, opt=("sgd", float(rate), 0.0)) == "ok"
    saved = mf.read(path)
    layer = saved["layers"][0]
    weights, dweights = mf.matrix_of(layer["weights"]), mf.matrix_of(layer["dweights"])
    biases, dbiases = mf.matrix_of(layer["biases"]), mf.matrix_of(layer["dbiases"])
    np.testing.assert_array_equal(mf.matrix_of(layer["inputs"]), X)  # no validation set
    # The saved gradient was taken at the weights before the last update.
    before = gradient(weights + rate * dweights, biases + rate * dbiases)
    np.testing.assert_allclose(dweights, before, rtol=1e-4, atol=1e-6)
    assert not np.allclose(dweights, gradient(weights, biases), rtol=1e-4, atol=1e-6)
    assert (saved["save_best_params"], saved["acc_precision"]) == (str(path), 1.0)


def test_missing_directory_fails_at_the_first_save(tmp_path, capfd):
    result = train_linear(tmp_path / "missing" / "model.json", 5, print_freq=5)
    assert result.startswith("PanicException: called `Result::unwrap()` on an `Err` value: ")
    assert "NotFound" in result
    # Epochs 1 and 2 were reported; the save of epoch 2 failed.
    assert [line[:11] for line in capfd.readouterr().out.splitlines()] == \
        ["epoch:    1", "epoch:    2"]


def test_training_never_changes_the_passed_objects(tmp_path, capfd):
    model = kemb.create_linear_model("linear", str(tmp_path / "model.json"))
    model = kemb.add_linear_model_layer(model, 3, 1, "dense")
    opt = kemb.create_optimizer("adam", 0.01, 0.5)
    for _ in range(2):
        kemb.train_linear_model(model, opt, 3, 3, X, TARGETS, NONE, TARGETS)
    lines = capfd.readouterr().out.splitlines()
    # Both runs start from iteration 0 and the base learning rate.
    assert [l.rsplit(" ", 1)[1] for l in lines[:3]] == [l.rsplit(" ", 1)[1] for l in lines[3:]]
    assert lines[0].endswith("lr 0.01")
    # The passed model still has no weights.
    assert "not compatible for matrix multiplication" in outcome(
        lambda: kemb.evaluate_linear_model(model, X, TARGETS))


def test_retraining_a_loaded_model(tmp_path):
    # The file's weights (100) are replaced by fresh ones, while its optimizer
    # state is kept: with a huge weight cache Adam barely moves the weights
    # away from their fresh values of about 0.01.
    path = tmp_path / "model.json"
    start = mf.write(tmp_path / "start.json", mf.linear_model([mf.layer(
        "dense", weights=np.full((3, 1), 100.0), biases=[0.0],
        weight_momentums=np.zeros((3, 1)), weight_cache=np.full((3, 1), 1e30),
        bias_momentums=[0.0], bias_cache=[0.0])], str(path)))
    kemb.train_linear_model(kemb.load_linear_model(start), kemb.create_optimizer("adam", 1.0, 0.0),
                            5, 1, X, TARGETS, NONE, TARGETS)
    layer = mf.read(path)["layers"][0]
    assert np.max(np.abs(mf.matrix_of(layer["weights"]))) < 0.1
    assert mf.matrix_of(layer["bias_cache"])[0] > 0.0  # the biases were updated
    assert np.min(mf.matrix_of(layer["weight_cache"])) > 1e29


def test_broken_standard_output():
    read_end, write_end = os.pipe()
    os.close(read_end)
    code = """if True:
        import numpy as np, kemb
        x = np.eye(3, dtype=np.float32)
        try:
            kemb.train_categorical_model(kemb.create_categorical_model("softmax", ""),
                kemb.create_optimizer("sgd", 0.1, 0.0), 2, 2, x, np.arange(3, dtype=np.int32),
                np.zeros((0, 0), np.float32), np.zeros(0, np.int32))
        except BaseException as error:
            print(type(error).__name__, error.args[0], file=__import__("sys").stderr)
    """
    result = subprocess.run([sys.executable, "-c", code], stdout=write_end, stderr=subprocess.PIPE,
                            text=True, timeout=120)
    os.close(write_end)
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines()[-1] == \
        "PanicException failed printing to stdout: Broken pipe (os error 32)"
