"""Bad data and awkward paths end to end: each gives its result or its exact
exception (impossible sizes a PanicException, not an abort), prints the lines
it should and saves only what it should, and later rows still train, save and
load in the same interpreter."""

import os

import kemb
import numpy as np
import pytest

import model_files as mf
from conftest import F, NONE, outcome

RNG = np.random.default_rng(11)
X = RNG.normal(size=(5, 3)).astype(F)
LABELS = np.array([0, 1, 2, 0, 1], np.int32)
TARGETS = RNG.normal(size=5).astype(F)
SGD = kemb.create_optimizer("sgd", 0.1, 0.0)
OOB = "PanicException: ndarray: index out of bounds"
OS = "PanicException: called `Result::unwrap()` on an `Err` value: "
NUL = OS + 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'


def with_value(array, index, value):
    array = array.copy()
    array[index] = value
    return array


def seq(n):
    return f"PanicException: index out of bounds: the len is {n} but the index is {n}"


def product(m, k, k2, n):
    return (f"PanicException: ndarray: inputs {m} \u00d7 {k} and {k2} \u00d7 {n} "
            "are not compatible for matrix multiplication")


def too_long(path):  # messages quote 256 bytes of a path, then name its size
    return (OS + 'Os { code: 36, kind: InvalidFilename, message: "File name too long", '
            f'path: "{path[:256]}" [cut: {len(path)} bytes] }}')


def train_c(x=X, y=LABELS, val_x=NONE, val_y=LABELS, path="", shape=(3, 3)):
    model = kemb.add_categorical_model_layer(kemb.create_categorical_model("softmax", path),
                                             *shape, "dense")
    kemb.train_categorical_model(model, SGD, 3, 1, x, y, val_x, val_y)


def train_l(x=X, y=TARGETS, path="", output_type="linear", epochs=3, print_freq=1):
    model = kemb.add_linear_model_layer(kemb.create_linear_model(output_type, path), 3, 1, "dense")
    kemb.train_linear_model(model, SGD, epochs, print_freq, x, y, NONE, y)


# (id, call, outcome, lines printed (None: not checked), whether m.json exists after)
CASES = [
    # NaN and infinity train and evaluate; the loss is NaN, so nothing saves.
    ("nan-in-x", lambda: train_c(x=with_value(X, (1, 2), np.nan), path="m.json"), "ok", 1, False),
    ("nan-in-targets", lambda: train_l(y=with_value(TARGETS, 4, np.nan), path="m.json"), "ok", 1,
     False),
    ("inf-in-validation", lambda: train_c(val_x=with_value(X, (3, 0), -np.inf)), "ok", 2, False),
    # Impossible sizes.
    ("layer-2^40-squared", lambda: train_c(shape=(2**40, 2**40)),
     "PanicException: capacity overflow", 0, False),
    ("layer-2^46-neurons", lambda: train_c(shape=(3, 2**46)),
     "PanicException: memory allocation of 844424930131968 bytes failed", 0, False),
    # A size the input cannot reach fails before any layer claims memory.
    ("layer-2^46-inputs", lambda: train_c(shape=(2**46, 1)), product(5, 3, 2**46, 1), 0, False),
    ("finite-saves", lambda: train_l(path="m.json"), "ok", 1, True),
    # Empty arrays of every kind.
    ("x-0x0", lambda: train_c(x=NONE, y=LABELS[:0]), product(0, 0, 3, 3), 0, False),
    ("x-0x3", lambda: train_c(x=np.zeros((0, 3), F), y=LABELS[:0]), "ok", 1, False),
    ("x-3x0", lambda: train_l(x=np.zeros((3, 0), F)), product(3, 0, 3, 1), 0, False),
    ("val-x-0x3", lambda: train_c(val_x=np.zeros((0, 3), F), val_y=LABELS[:0]), "ok", 2, False),
    ("evaluate-0x0", lambda: kemb.evaluate_categorical_model(
     kemb.load_categorical_model("cat.json"), NONE, LABELS[:0]), product(0, 0, 3, 3), 0, False),
    ("evaluate-0x3", lambda: kemb.evaluate_linear_model(
     kemb.load_linear_model("lin.json"), np.zeros((0, 3), F), TARGETS[:0]), "ok", 1, False),
    # Row counts that disagree: fewer targets than predictions fail in the
    # loss, fewer labels in the accuracy; extra targets are ignored, extra
    # labels fail in the cross-entropy.
    ("targets-short", lambda: train_l(y=TARGETS[:3]), OOB, 0, False),
    ("targets-long", lambda: train_l(y=np.ones(7, F)), "ok", 1, False),
    ("labels-short", lambda: train_c(y=LABELS[:3]), seq(3), 0, False),
    ("labels-long", lambda: train_c(y=np.zeros(7, np.int32)), OOB, 0, False),
    ("val-labels-short", lambda: train_c(val_x=X, val_y=LABELS[:2]), seq(2), 0, False),
    # Labels outside the three classes.
    ("label-3", lambda: train_c(y=with_value(LABELS, 2, 3)), OOB, 0, False),
    ("label-minus-1", lambda: train_c(y=with_value(LABELS, 2, -1)), OOB, 0, False),
    # A linear model without the "linear" output has no predictions.
    ("no-predictions", lambda: train_l(output_type="identity"),
     "PanicException: called `Option::unwrap()` on a `None` value", 0, False),
    # A zero print_freq fails before anything is printed.
    ("print-freq-0", lambda: train_l(print_freq=0), "PanicException: attempt to divide by zero", 0,
     False),
    # 65535 epochs on one sample: one report, in the last epoch.
    ("65535-epochs", lambda: train_l(x=X[:1], y=TARGETS[:1], epochs=65535), "ok", 1, False),
    # Paths.
    ("path-not-utf8", lambda: kemb.create_linear_model("linear", "m-\udcff.json"),
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udcff' in position 2: "
     "surrogates not allowed", None, False),
    ("path-utf8", lambda: train_l(path="mod\u00e8le-\u2713.json") or
     os.rename("mod\u00e8le-\u2713.json", "m.json"), "ok", 1, True),
    ("path-with-nul", lambda: train_l(path="m.json\0.bak"), NUL, 0, False),
    ("load-path-with-nul", lambda: kemb.load_linear_model("lin.json\0"), NUL, None, False),
    # The name is first used when the background writer links the file: its
    # failure may come some epochs later.
    ("name-too-long", lambda: train_l(path="n" * 300), too_long("n" * 300), None, False),
    ("load-path-beyond-path-max", lambda: kemb.load_linear_model("d/" * 3000),
     too_long("d/" * 3000), None, False),
    ("path-is-directory", lambda: train_l(path="."),
     OS + 'Os { code: 21, kind: IsADirectory, message: "Is a directory", path: "." }', 0, False),
]


@pytest.mark.parametrize("call, expected, lines, saved", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_bad_input(tmp_path, monkeypatch, capfd, call, expected, lines, saved):
    monkeypatch.chdir(tmp_path)
    dense = mf.layer("dense", weights=np.eye(3, dtype=F), biases=np.zeros(3, F))
    mf.write("cat.json", mf.categorical_model([dense]))
    mf.write("lin.json", mf.linear_model([mf.layer("dense", weights=X[:3, :1], biases=[0.5])]))
    assert outcome(call) == expected
    printed = capfd.readouterr().out.splitlines()
    if lines is not None:
        assert len(printed) == lines, printed
    assert os.path.exists("m.json") == saved
    if saved:
        kemb.load_linear_model("m.json")
