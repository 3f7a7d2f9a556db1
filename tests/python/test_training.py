"""Training from a script: progress lines, report timing, validation and the
save rule, checked as exact text against float32 references."""

import os

import numpy as np
import pytest

import model_files as mf
import reference as ref
from conftest import panic_message, run_kemb

F = np.float32

# Models without layers: the output is a pure function of the input, so every
# epoch prints the same figures and the reference needs no training.
X = np.array([[0.5, 1.5, -1.0], [2.0, 0.25, 0.0], [-0.5, 0.0, 3.0], [1.0, 1.0, 1.0]], F)
LABELS = np.array([1, 0, 2, 1], np.int32)
VAL_X = np.array([[3.0, -1.0, 0.5], [0.0, 0.0, 0.125]], F)
VAL_LABELS = np.array([0, 2], np.int32)
TARGETS = np.array([0.25, 2.5, -0.5, 0.0], F)
VAL_TARGETS = np.array([2.0, 1.0], F)
NO_VALIDATION = np.zeros((0, 0), F)


def categorical_lines(epochs, loss_type="categorical_crossentropy", rate=0.01, decay=0.0,
                      validation=True):
    p = ref.softmax(X)
    loss = ref.crossentropy(p, LABELS)
    acc = ref.categorical_accuracy(ref.predict(p), LABELS)
    val_p = ref.softmax(VAL_X)
    val_loss = ref.crossentropy(val_p, VAL_LABELS)
    val_acc = ref.categorical_accuracy(ref.predict(val_p), VAL_LABELS)
    lines = []
    for epoch in epochs:
        # The line shows the rate from before this epoch's decay step: the
        # rate epoch - 1 ran with.
        lr = ref.decayed_rate(rate, decay, max(epoch - 2, 0)) if decay else F(rate)
        lines.append(ref.training_line(epoch, acc, loss, 0.0, loss_type, lr))
        if validation:
            lines.append(ref.validation_line(val_acc, val_loss, 0.0, loss_type))
    return lines


def train_categorical(tmp_path, num_epochs, print_freq, validation=True, opt="('adam', 0.01, 0.0)",
                      output_type="softmax"):
    val = "data['val_x'], data['val_y']" if validation else "data['none'], data['val_y']"
    return run_kemb(
        tmp_path,
        f"""
        model = kemb.create_categorical_model({output_type!r}, "")
        opt = kemb.create_optimizer(*{opt})
        guarded(kemb.train_categorical_model, model, opt, {num_epochs}, {print_freq},
                data['x'], data['y'], {val})
        """,
        x=X, y=LABELS, val_x=VAL_X, val_y=VAL_LABELS, none=NO_VALIDATION)


@pytest.mark.parametrize("num_epochs, print_freq, validation, epochs", [
    (10, 3, False, [3, 6, 9]),
    (10, 3, True, [3, 6, 9]),
    (10, 4, True, [2, 4, 6, 8, 10]),
    (10, 1, False, [10]),
    (10, 10, True, list(range(1, 11))),
    (10, 20, True, []),
    (0, 1, True, []),
    (7, 7, False, list(range(1, 8))),
])
def test_report_timing(tmp_path, num_epochs, print_freq, validation, epochs):
    result = train_categorical(tmp_path, num_epochs, print_freq, validation)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == categorical_lines(epochs, validation=validation)


def test_print_freq_zero_divides_by_zero(tmp_path):
    result = train_categorical(tmp_path, 10, 0)
    assert panic_message(result) == "attempt to divide by zero"
    assert result.stdout == ""


def test_learning_rate_through_decay_steps(tmp_path):
    result = train_categorical(tmp_path, 12, 12, validation=False, opt="('adam', 0.01, 0.1)")
    assert result.returncode == 0, result.stderr
    expected = categorical_lines(range(1, 13), rate=0.01, decay=0.1, validation=False)
    assert result.stdout.splitlines() == expected
    assert ", lr 0.01\n" in result.stdout


def test_unknown_optimizer_still_decays(tmp_path):
    result = train_categorical(tmp_path, 3, 3, validation=False, opt="('Adam', 1, 1)")
    assert result.returncode == 0, result.stderr
    assert [line.rsplit(" ", 1)[1] for line in result.stdout.splitlines()] == ["1", "1", "0.5"]


def test_output_type_other_than_softmax_has_no_accuracy(tmp_path):
    result = train_categorical(tmp_path, 1, 1, output_type="Softmax")
    assert result.returncode == 0, result.stderr
    train_line, val_line = result.stdout.splitlines()
    assert train_line.startswith("epoch:    1, acc: NaN, loss: ")
    assert val_line.startswith("validation:  acc: NaN, loss: ")


def test_validation_set_without_rows_still_runs(tmp_path):
    result = run_kemb(
        tmp_path,
        """
        model = kemb.create_categorical_model("softmax", "")
        opt = kemb.create_optimizer("sgd", 0.1, 0.0)
        kemb.train_categorical_model(model, opt, 2, 2, data['x'], data['y'],
                                     np.zeros((0, 4), np.float32), np.zeros(0, np.int32))
        """,
        x=X, y=LABELS)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[1::2] == ["validation:  acc: NaN, loss: NaN [categorical_crossentropy: NaN, reg: 0.000]"] * 2


def test_linear_without_layers(tmp_path):
    result = run_kemb(
        tmp_path,
        """
        model = kemb.create_linear_model("linear", "")
        opt = kemb.create_optimizer("adam", 0.001, 0.0)
        kemb.train_linear_model(model, opt, 4, 2, data['x'], data['y'], data['val_x'], data['val_y'])
        """,
        x=X, y=TARGETS, val_x=VAL_X, val_y=VAL_TARGETS)
    assert result.returncode == 0, result.stderr
    predictions, val_predictions = X[:, 0], VAL_X[:, 0]
    loss, acc = ref.mse(predictions, TARGETS), ref.linear_accuracy(predictions, TARGETS)
    val_loss = ref.mse(val_predictions, VAL_TARGETS)
    val_acc = ref.linear_accuracy(val_predictions, VAL_TARGETS)
    expected = []
    for epoch in (2, 4):
        expected.append(ref.training_line(epoch, acc, loss, 0.0, "mean_squared_error", 0.001))
        expected.append(ref.validation_line(val_acc, val_loss, 0.0, "mean_squared_error"))
    assert result.stdout.splitlines() == expected


@pytest.mark.parametrize("x, y, loss_text, acc_text", [
    # A huge loss prints all its digits, never an exponent.
    ([[1e18]], [0.0], ref.fixed(ref.mse([F(1e18)], [F(0.0)]), 3), "0.000"),
    ([[np.nan]], [0.0], "NaN", "0.000"),
    ([[1e20]], [0.0], "inf", "0.000"),
    ([[1.5], [2.0]], [1.0, 2.0, 9.0], None, "0.667"),  # accuracy divides by the targets
])
def test_linear_extreme_figures(tmp_path, x, y, loss_text, acc_text):
    result = run_kemb(
        tmp_path,
        """
        model = kemb.create_linear_model("linear", "")
        opt = kemb.create_optimizer("sgd", 0.1, 0.0)
        kemb.train_linear_model(model, opt, 1, 1, data['x'], data['y'], data['none'], data['y'])
        """,
        x=np.array(x, F), y=np.array(y, F), none=NO_VALIDATION)
    assert result.returncode == 0, result.stderr
    line = result.stdout.strip()
    assert line.startswith(f"epoch:    1, acc: {acc_text}, loss: ")
    if loss_text is not None:
        assert f"[mean_squared_error: {loss_text}, reg: 0.000]" in line


def test_mse_loss_type_on_a_categorical_model(tmp_path):
    # Only a model file can carry another loss type. The bracket names it with
    # a data loss of 0.000, the total is the regularization loss, training
    # still follows the cross-entropy gradient, and nothing is ever saved.
    path = tmp_path / "model.json"
    saved = tmp_path / "never.json"
    mf.write(path, mf.categorical_model(
        [mf.layer("dense", weights=np.eye(3), biases=np.zeros(3))], str(saved), loss_type="mse"))
    result = run_kemb(
        tmp_path,
        f"""
        model = kemb.load_categorical_model({str(path)!r})
        opt = kemb.create_optimizer("adam", 0.01, 0.0)
        kemb.train_categorical_model(model, opt, 3, 3, data['x'], data['y'], data['none'], data['y'])
        """,
        x=X, y=LABELS, none=NO_VALIDATION)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    assert all("loss: 0.000 [mse: 0.000, reg: 0.000]" in line for line in lines)
    assert not saved.exists()


def test_linear_failures(tmp_path):
    short = run_kemb(
        tmp_path,
        """
        model = kemb.create_linear_model("linear", "")
        opt = kemb.create_optimizer("sgd", 0.1, 0.0)
        guarded(kemb.train_linear_model, model, opt, 1, 1, data['x'], data['y'][:2],
                data['none'], data['y'])
        """,
        x=X, y=TARGETS, none=NO_VALIDATION)
    assert panic_message(short) == "ndarray: index out of bounds"
    no_predictions = run_kemb(
        tmp_path,
        """
        model = kemb.create_linear_model("identity", "")
        opt = kemb.create_optimizer("sgd", 0.1, 0.0)
        guarded(kemb.train_linear_model, model, opt, 1, 1, data['x'], data['y'],
                data['none'], data['y'])
        """,
        x=X, y=TARGETS, none=NO_VALIDATION)
    assert panic_message(no_predictions) == "called `Option::unwrap()` on a `None` value"


def test_categorical_labels_shorter_than_predictions(tmp_path):
    result = run_kemb(
        tmp_path,
        """
        model = kemb.create_categorical_model("softmax", "")
        opt = kemb.create_optimizer("sgd", 0.1, 0.0)
        guarded(kemb.train_categorical_model, model, opt, 1, 1, data['x'], data['y'][:3],
                data['none'], data['y'])
        """,
        x=X, y=LABELS, none=NO_VALIDATION)
    assert panic_message(result) == "index out of bounds: the len is 3 but the index is 3"


def test_label_out_of_range(tmp_path):
    result = run_kemb(
        tmp_path,
        """
        model = kemb.create_categorical_model("softmax", "")
        opt = kemb.create_optimizer("sgd", 0.1, 0.0)
        guarded(kemb.train_categorical_model, model, opt, 1, 1, data['x'], data['y'],
                data['none'], data['y'])
        """,
        x=X, y=np.array([0, 1, 3, 0], np.int32), none=NO_VALIDATION)
    assert panic_message(result) == "ndarray: index out of bounds"
