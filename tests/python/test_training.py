"""Training reports: progress lines, their timing, the learning rate and
validation, printed to fd 1, as exact text against float32 references."""

import numpy as np
import pytest

import kemb
import model_files as mf
import reference as ref
from conftest import F, NONE

# Models without layers: the output is a pure function of the input, so every
# epoch prints the same figures and the reference needs no training.
X = np.array([[0.5, 1.5, -1.0], [2.0, 0.25, 0.0], [-0.5, 0.0, 3.0], [1.0, 1.0, 1.0]], F)
LABELS = np.array([1, 0, 2, 1], np.int32)
VAL_X = np.array([[3.0, -1.0, 0.5], [0.0, 0.0, 0.125]], F)
VAL_LABELS = np.array([0, 2], np.int32)
TARGETS = np.array([0.25, 2.5, -0.5, 0.0], F)
VAL_TARGETS = np.array([2.0, 1.0], F)
CE = "categorical_crossentropy"


def categorical_lines(epochs, rate, decay, validation):
    p, val_p = ref.softmax(X), ref.softmax(VAL_X)
    loss, acc = ref.crossentropy(p, LABELS), ref.categorical_accuracy(ref.predict(p), LABELS)
    val_loss = ref.crossentropy(val_p, VAL_LABELS)
    val_acc = ref.categorical_accuracy(ref.predict(val_p), VAL_LABELS)
    lines = []
    for epoch in epochs:
        # The line shows the rate before this epoch's decay step: the one epoch - 1 ran with.
        lr = ref.decayed_rate(rate, decay, max(epoch - 2, 0)) if decay else F(rate)
        lines.append(ref.training_line(epoch, acc, loss, 0.0, CE, lr))
        if validation:
            lines.append(ref.validation_line(val_acc, val_loss, 0.0, CE))
    return lines


@pytest.mark.parametrize("num_epochs, print_freq, validation, opt, epochs", [
    (10, 3, True, ("adam", 0.01, 0.0), [3, 6, 9]),
    (10, 4, True, ("adam", 0.01, 0.0), [2, 4, 6, 8, 10]),
    (10, 1, False, ("adam", 0.01, 0.0), [10]),
    (10, 20, True, ("adam", 0.01, 0.0), []),
    (0, 1, True, ("adam", 0.01, 0.0), []),
    (12, 12, False, ("adam", 0.01, 0.1), list(range(1, 13))),  # through the decay steps
    (3, 3, False, ("Adam", 1.0, 1.0), [1, 2, 3]),  # an unknown rule still decays
])
def test_report_timing_and_rate(capfd, num_epochs, print_freq, validation, opt, epochs):
    kemb.train_categorical_model(kemb.create_categorical_model("softmax", ""),
                                 kemb.create_optimizer(*opt), num_epochs, print_freq, X, LABELS,
                                 VAL_X if validation else NONE, VAL_LABELS)
    assert capfd.readouterr().out.splitlines() == categorical_lines(epochs, *opt[1:], validation)


def test_a_validation_set_without_rows_has_neither_accuracy_nor_loss(capfd):
    kemb.train_categorical_model(kemb.create_categorical_model("softmax", ""),
                                 kemb.create_optimizer("sgd", 0.1, 0.0), 1, 1, X, LABELS,
                                 np.zeros((0, 4), F), np.zeros(0, np.int32))
    assert capfd.readouterr().out.splitlines()[1] == \
        f"validation:  acc: NaN, loss: NaN [{CE}: NaN, reg: 0.000]"


def test_linear_without_layers(capfd):
    kemb.train_linear_model(kemb.create_linear_model("linear", ""),
                            kemb.create_optimizer("adam", 0.001, 0.0), 4, 2, X, TARGETS, VAL_X,
                            VAL_TARGETS)
    expected = []
    for epoch in (2, 4):
        for x, y, line in ((X, TARGETS, "training"), (VAL_X, VAL_TARGETS, "validation")):
            acc, loss = ref.linear_accuracy(x[:, 0], y), ref.mse(x[:, 0], y)
            expected.append(ref.training_line(epoch, acc, loss, 0.0, "mean_squared_error", 0.001)
                            if line == "training" else
                            ref.validation_line(acc, loss, 0.0, "mean_squared_error"))
    assert capfd.readouterr().out.splitlines() == expected


@pytest.mark.parametrize("x, y, loss_text, acc_text", [
    ([[1e20]], [0.0], "inf", "0.000"),  # the squared error overflows
    ([[1.5], [2.0]], [1.0, 2.0, 9.0], None, "0.667"),  # accuracy divides by the targets
])
def test_linear_extreme_figures(capfd, x, y, loss_text, acc_text):
    kemb.train_linear_model(kemb.create_linear_model("linear", ""),
                            kemb.create_optimizer("sgd", 0.1, 0.0), 1, 1, np.array(x, F),
                            np.array(y, F), NONE, np.array(y, F))
    line = capfd.readouterr().out.strip()
    assert line.startswith(f"epoch:    1, acc: {acc_text}, loss: ")
    if loss_text is not None:
        assert f"[mean_squared_error: {loss_text}, reg: 0.000]" in line


def test_mse_loss_type_on_a_categorical_model(tmp_path, capfd):
    # Only a model file can carry another loss type. The bracket names it with
    # a data loss of 0.000, the total is the regularization loss, training
    # still follows the cross-entropy gradient, and nothing is ever saved.
    saved = tmp_path / "never.json"
    model = kemb.load_categorical_model(mf.write(tmp_path / "model.json", mf.categorical_model(
        [mf.layer("dense", weights=np.eye(3), biases=np.zeros(3))], str(saved), loss_type="mse")))
    kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.01, 0.0), 3, 3, X, LABELS,
                                 NONE, LABELS)
    lines = capfd.readouterr().out.splitlines()
    assert len(lines) == 3 and all("loss: 0.000 [mse: 0.000, reg: 0.000]" in l for l in lines)
    assert not saved.exists()
