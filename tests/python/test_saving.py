"""The save rule of training, reproducibility with KEMB_SEED, copy-in of the
passed objects, retraining loaded models and a broken standard output."""

import os
import subprocess
import sys

import numpy as np
import pytest

import model_files as mf
from conftest import PRELUDE, panic_message, run_kemb

F = np.float32
RNG = np.random.default_rng(5)
X = RNG.normal(size=(16, 3)).astype(F)
TARGETS = (X @ np.array([1.0, -2.0, 0.5], F) + F(0.3)).astype(F)
LABELS = (X[:, 0] > 0).astype(np.int32)
NONE = np.zeros((0, 0), F)


def train_linear(tmp_path, path, epochs, opt=("sgd", 0.05, 0.0), env=None, print_freq=None,
                 layers="kemb.add_linear_model_layer(model, 3, 1, 'dense')"):
    return run_kemb(
        tmp_path,
        f"""
        model = kemb.create_linear_model("linear", {str(path)!r})
        model = {layers}
        opt = kemb.create_optimizer(*{opt!r})
        guarded(kemb.train_linear_model, model, opt, {epochs}, {print_freq or epochs},
                data['x'], data['y'], data['none'], data['y'])
        """,
        env=env, x=X, y=TARGETS, none=NONE)


def test_no_save_in_the_first_epoch(tmp_path):
    path = tmp_path / "model.json"
    assert train_linear(tmp_path, path, 1).returncode == 0
    assert not path.exists()
    assert train_linear(tmp_path, path, 2).returncode == 0
    assert path.exists()


def test_equal_losses_never_save(tmp_path):
    path = tmp_path / "model.json"
    result = train_linear(tmp_path, path, 5, opt=("sgd", 0.0, 0.0))
    assert result.returncode == 0, result.stderr
    assert not path.exists()
    result = train_linear(tmp_path, path, 5, opt=("no rule", 0.1, 0.0))
    assert not path.exists()


def test_empty_path_never_saves(tmp_path):
    result = train_linear(tmp_path, "", 5)
    assert result.returncode == 0, result.stderr
    assert os.listdir(tmp_path) == ["arrays.npz"]


def gradient(weights, biases, x, targets):
    """Weight gradient of the mean squared error for one dense output."""
    output = x @ weights + biases
    g = ((targets[:, None] - output) * F(-2.0)) / F(output.shape[1]) / F(output.shape[0])
    return x.T @ g


def test_the_file_holds_the_model_after_the_update(tmp_path):
    path = tmp_path / "model.json"
    rate = F(0.05)
    assert train_linear(tmp_path, path, 3, opt=("sgd", float(rate), 0.0)).returncode == 0
    saved = mf.read(path)
    layer = saved["layers"][0]
    weights, dweights = mf.matrix_of(layer["weights"]), mf.matrix_of(layer["dweights"])
    biases, dbiases = mf.matrix_of(layer["biases"]), mf.matrix_of(layer["dbiases"])
    np.testing.assert_array_equal(mf.matrix_of(layer["inputs"]), X)  # no validation set
    # The saved gradient was taken at the weights before the last update.
    before = gradient(weights + rate * dweights, biases + rate * dbiases, X, TARGETS)
    after = gradient(weights, biases, X, TARGETS)
    np.testing.assert_allclose(dweights, before, rtol=1e-4, atol=1e-6)
    assert not np.allclose(dweights, after, rtol=1e-4, atol=1e-6)
    assert saved["save_best_params"] == str(path)
    assert saved["acc_precision"] == 1.0


def test_validation_pass_fills_the_saved_caches(tmp_path):
    path = tmp_path / "model.json"
    val_x = X[:5] * F(2.0)
    result = run_kemb(
        tmp_path,
        f"""
        model = kemb.create_categorical_model("softmax", {str(path)!r})
        model = kemb.add_categorical_model_layer(model, 3, 4, "dense", "relu")
        model = kemb.add_categorical_model_layer(model, layer_type="dropout", dropout_rate=0.25)
        model = kemb.add_categorical_model_layer(model, 4, 2, "dense")
        opt = kemb.create_optimizer("adam", 0.01, 0.0)
        kemb.train_categorical_model(model, opt, 4, 1, data['x'], data['y'], data['vx'], data['vy'])
        """,
        x=X, y=LABELS, vx=val_x, vy=LABELS[:5])
    assert result.returncode == 0, result.stderr
    first, dropout, last = mf.read(path)["layers"]
    np.testing.assert_array_equal(mf.matrix_of(first["inputs"]), val_x)
    assert mf.matrix_of(dropout["inputs"]).shape == (5, 4)
    assert dropout["dropout_rate"] == pytest.approx(0.75)  # the keep probability is saved
    assert mf.matrix_of(dropout["binary_mask"]).shape == (16, 4)  # from the training pass
    assert mf.matrix_of(last["weight_momentums"]).shape == (4, 2)


def test_missing_directory_fails_at_the_first_save(tmp_path):
    path = tmp_path / "missing" / "model.json"
    result = train_linear(tmp_path, path, 5, print_freq=5)
    message = panic_message(result)
    assert message.startswith("called `Result::unwrap()` on an `Err` value: ")
    assert "NotFound" in message
    # Epochs 1 and 2 were reported; the save of epoch 2 failed.
    assert [line[:11] for line in result.stdout.splitlines()] == ["epoch:    1", "epoch:    2"]


def test_seeded_runs_repeat(tmp_path):
    outputs = []
    for run in range(2):
        path = tmp_path / f"model{run}.json"
        result = train_linear(tmp_path, path, 6, opt=("adam", 0.01, 0.01),
                              env={"KEMB_SEED": "2024"}, print_freq=6,
                              layers="kemb.add_linear_model_layer(kemb.add_linear_model_layer("
                                     "kemb.add_linear_model_layer(model, 3, 8, 'dense', 'relu'), "
                                     "layer_type='dropout', dropout_rate=0.5), 8, 1, 'dense')")
        assert result.returncode == 0, result.stderr
        with open(path, "rb") as f:
            contents = f.read().replace(str(path).encode(), b"PATH")
        outputs.append((result.stdout, contents))
    assert outputs[0] == outputs[1]
    unseeded = train_linear(tmp_path, tmp_path / "other.json", 6, print_freq=6)
    assert unseeded.stdout != outputs[0][0]


def test_invalid_seed_is_reported(tmp_path):
    result = train_linear(tmp_path, "", 2, env={"KEMB_SEED": "twelve"})
    assert "KEMB_SEED" in panic_message(result)


def test_training_never_changes_the_passed_objects(tmp_path):
    path = tmp_path / "model.json"
    result = run_kemb(
        tmp_path,
        f"""
        model = kemb.create_linear_model("linear", {str(path)!r})
        model = kemb.add_linear_model_layer(model, 3, 1, "dense")
        opt = kemb.create_optimizer("adam", 0.01, 0.5)
        kemb.train_linear_model(model, opt, 3, 3, data['x'], data['y'], data['none'], data['y'])
        first = open({str(path)!r}).read()
        kemb.train_linear_model(model, opt, 3, 3, data['x'], data['y'], data['none'], data['y'])
        # The passed model still has no weights.
        guarded(kemb.evaluate_linear_model, model, data['x'], data['y'])
        """,
        env={"KEMB_SEED": "1"}, x=X, y=TARGETS, none=NONE)
    assert "not compatible for matrix multiplication" in panic_message(result)
    first_run, second_run = result.stdout.splitlines()[:3], result.stdout.splitlines()[3:6]
    # Both runs start from iterations 0 and the base learning rate.
    assert [l.rsplit(" ", 1)[1] for l in first_run] == [l.rsplit(" ", 1)[1] for l in second_run]
    assert first_run[0].endswith("lr 0.01")


def test_retraining_a_loaded_model(tmp_path):
    # The file's weights (100) are replaced by fresh ones, while its optimizer
    # state is kept: with a huge weight cache Adam barely moves the weights
    # away from their fresh values of about 0.01.
    start = tmp_path / "start.json"
    path = tmp_path / "model.json"
    mf.write(start, mf.linear_model([mf.layer(
        "dense", weights=np.full((3, 1), 100.0), biases=[0.0],
        weight_momentums=np.zeros((3, 1)), weight_cache=np.full((3, 1), 1e30),
        bias_momentums=[0.0], bias_cache=[0.0])], str(path)))
    result = run_kemb(
        tmp_path,
        f"""
        model = kemb.load_linear_model({str(start)!r})
        opt = kemb.create_optimizer("adam", 1.0, 0.0)
        kemb.train_linear_model(model, opt, 5, 1, data['x'], data['y'], data['none'], data['y'])
        """,
        x=X, y=TARGETS, none=NONE)
    assert result.returncode == 0, result.stderr
    layer = mf.read(path)["layers"][0]
    assert np.max(np.abs(mf.matrix_of(layer["weights"]))) < 0.1
    assert mf.matrix_of(layer["bias_cache"])[0] > 0.0  # the biases were updated
    assert np.min(mf.matrix_of(layer["weight_cache"])) > 1e29


def test_broken_standard_output(tmp_path):
    read_end, write_end = os.pipe()
    os.close(read_end)
    code = PRELUDE.format(npz=str(tmp_path / "none.npz")) + """
model = kemb.create_categorical_model("softmax", "")
opt = kemb.create_optimizer("sgd", 0.1, 0.0)
x = np.eye(3, dtype=np.float32)
guarded(kemb.train_categorical_model, model, opt, 2, 2, x, np.arange(3, dtype=np.int32),
        np.zeros((0, 0), np.float32), np.zeros(0, np.int32))
"""
    result = subprocess.run([sys.executable, "-c", code], stdout=write_end, stderr=subprocess.PIPE,
                            text=True, timeout=120)
    os.close(write_end)
    assert panic_message(result) == "failed printing to stdout: Broken pipe (os error 32)"
