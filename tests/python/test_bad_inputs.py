"""Bad input sweep: NaN and infinity in arrays, empty arrays of every kind,
row counts that disagree, labels out of range, 65535 epochs on tiny data,
and awkward paths (not UTF-8, embedded NUL, too long, directories,
symbolic links). Each gives its specified result or a clean exception with
its exact message, never a crash: every case runs in a child process, and
the child must exit normally."""

import textwrap

import numpy as np
import pytest

from conftest import run_kemb

F = np.float32
ROWS = 5

SETUP = """
import os
F = np.float32
none = np.zeros((0, 0), F)
sgd = kemb.create_optimizer("sgd", 0.1, 0.0)
x, labels, targets = data["x"], data["labels"], data["targets"]


def categorical(path="", n_inputs=3):
    model = kemb.create_categorical_model("softmax", path)
    return kemb.add_categorical_model_layer(model, n_inputs, 3, "dense")


def linear(path="", n_inputs=3):
    model = kemb.create_linear_model("linear", path)
    return kemb.add_linear_model_layer(model, n_inputs, 1, "dense")


def train_c(x=x, y=labels, val_x=none, val_y=labels, model=None, epochs=3, print_freq=1):
    kemb.train_categorical_model(model or categorical(), sgd, epochs, print_freq, x, y, val_x,
                                 val_y)


def train_l(x=x, y=targets, val_x=none, val_y=targets, model=None, epochs=3, print_freq=1):
    kemb.train_linear_model(model or linear(), sgd, epochs, print_freq, x, y, val_x, val_y)


def outcome(call):
    try:
        call()
        return "ok"
    except BaseException as error:
        return type(error).__name__ + ": " + str(error)


print("OUTCOME " + outcome(lambda: ({call})), file=sys.stderr)
{after}
"""

OUT_OF_BOUNDS = "PanicException: ndarray: index out of bounds"
SEQUENCE_INDEX = "PanicException: index out of bounds: the len is {0} but the index is {0}"
OS = "PanicException: called `Result::unwrap()` on an `Err` value: "


def name_too_long(path):
    # Messages quote at most 256 bytes of a path, then name its size.
    cut = f" [cut: {len(path)} bytes]" if len(path) > 256 else ""
    return (OS + 'Os { code: 36, kind: InvalidFilename, message: "File name too long", '
            f'path: "{path[:256]}"{cut} }}')

NOT_UTF8 = ("UnicodeEncodeError: 'utf-8' codec can't encode character '\\udcff' in position {0}: "
            "surrogates not allowed")
NUL = OS + 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'


def product(m, k, k2, n):
    return (f"PanicException: ndarray: inputs {m} \u00d7 {k} and {k2} \u00d7 {n} "
            "are not compatible for matrix multiplication")


# (id, call, expected outcome, check run in the child afterwards)
CASES = [
    # NaN and infinity train and evaluate; the loss is NaN, so nothing saves.
    ("nan-in-x", "train_c(x=data['x_nan'], model=categorical('m.json'))", "ok",
     "assert not os.path.exists('m.json')"),
    ("inf-in-x", "train_l(x=data['x_inf'], model=linear('m.json'))", "ok",
     "assert not os.path.exists('m.json')"),
    ("nan-in-targets", "train_l(y=data['targets_nan'], model=linear('m.json'))", "ok",
     "assert not os.path.exists('m.json')"),
    ("inf-in-validation", "train_c(val_x=data['x_inf'])", "ok", ""),
    ("nan-evaluated", "kemb.evaluate_linear_model(kemb.load_linear_model('lin.json'), "
     "data['x_nan'], targets)", "ok", ""),
    # Empty arrays of every kind.
    ("x-0x0", "train_c(x=none, y=labels[:0])", product(0, 0, 3, 3), ""),
    ("x-0x3", "train_c(x=np.zeros((0, 3), F), y=labels[:0])", "ok", ""),
    ("x-3x0", "train_l(x=np.zeros((3, 0), F))", product(3, 0, 3, 1), ""),
    ("targets-empty", "train_l(y=targets[:0])", OUT_OF_BOUNDS, ""),
    ("labels-empty", "train_c(y=labels[:0])",
     "PanicException: index out of bounds: the len is 0 but the index is 0", ""),
    ("val-x-0x3", "train_c(val_x=np.zeros((0, 3), F), val_y=labels[:0])", "ok", ""),
    ("val-x-0x4", "train_c(val_x=np.zeros((0, 4), F), val_y=labels[:0])", product(0, 4, 3, 3), ""),
    ("evaluate-0x0", "kemb.evaluate_categorical_model(kemb.load_categorical_model('cat.json'), "
     "none, labels[:0])", product(0, 0, 3, 3), ""),
    ("evaluate-0x3", "kemb.evaluate_linear_model(kemb.load_linear_model('lin.json'), "
     "np.zeros((0, 3), F), targets[:0])", "ok", ""),
    # Row counts of x and y that disagree: fewer targets than predictions fail
    # in the loss, fewer labels in the accuracy; extra targets are ignored,
    # extra labels fail in the cross-entropy.
    ("targets-short", "train_l(y=targets[:3])", OUT_OF_BOUNDS, ""),
    ("targets-long", "train_l(y=np.ones(7, F))", "ok", ""),
    ("labels-short", "train_c(y=labels[:3])", SEQUENCE_INDEX.format(3), ""),
    ("labels-long", "train_c(y=np.zeros(7, np.int32))", OUT_OF_BOUNDS, ""),
    ("val-labels-short", "train_c(val_x=x, val_y=labels[:2])", SEQUENCE_INDEX.format(2), ""),
    # Labels outside the three classes.
    ("label-3", "train_c(y=data['labels_3'])", OUT_OF_BOUNDS, ""),
    ("label-minus-1", "train_c(y=data['labels_minus_1'])", OUT_OF_BOUNDS, ""),
    ("label-int32-max", "train_c(y=data['labels_max'])", OUT_OF_BOUNDS, ""),
    ("label-int32-min", "train_c(y=data['labels_min'])", OUT_OF_BOUNDS, ""),
    ("label-out-of-range-evaluated", "kemb.evaluate_categorical_model("
     "kemb.load_categorical_model('cat.json'), x, data['labels_3'])", OUT_OF_BOUNDS, ""),
    # 65535 epochs on one sample: one report, in the last epoch.
    ("65535-epochs", "train_l(x=x[:1], y=targets[:1], epochs=65535, print_freq=1)", "ok", ""),
    # Paths.
    ("path-not-utf8", "kemb.create_linear_model('linear', 'm-\\udcff.json')",
     NOT_UTF8.format(2), ""),
    ("load-path-not-utf8", "kemb.load_linear_model('m-\\udcff.json')", NOT_UTF8.format(2), ""),
    ("path-utf8", "train_l(model=linear('mod\u00e8le-\u2713.json'))", "ok",
     "kemb.load_linear_model('mod\u00e8le-\u2713.json')"),
    ("path-with-nul", "train_l(model=linear('m.json\\0.bak'))", NUL,
     "assert not os.path.exists('m.json')"),
    ("load-path-with-nul", "kemb.load_linear_model('lin.json\\0')", NUL, ""),
    ("name-too-long", "train_l(model=linear('n' * 300))", name_too_long("n" * 300), ""),
    ("load-name-too-long", "kemb.load_linear_model('n' * 300)", name_too_long("n" * 300), ""),
    ("path-beyond-path-max", "train_l(model=linear('d/' * 3000 + 'm.json'))",
     name_too_long("d/" * 3000 + "m.json"), ""),
    ("load-path-beyond-path-max", "kemb.load_linear_model('d/' * 3000)",
     name_too_long("d/" * 3000), ""),
    ("path-is-directory", "train_l(model=linear('.'))",
     OS + 'Os { code: 21, kind: IsADirectory, message: "Is a directory", path: "." }', ""),
    ("load-path-is-directory", "kemb.load_linear_model('.')",
     OS + 'Error("Is a directory (os error 21)", line: 1, column: 0)', ""),
    ("path-in-missing-directory", "train_l(model=linear('no/such/m.json'))",
     OS + 'Os { code: 2, kind: NotFound, message: "No such file or directory", '
     'path: "no/such/m.json" }', ""),
    ("symlink-to-file", "os.symlink('lin.json', 'link.json') or "
     "train_l(model=linear('link.json'))", "ok",
     "assert os.path.islink('link.json'); m = kemb.load_linear_model('link.json'); "
     "assert open('lin.json').read().endswith('\"save_best_params\":\"link.json\"}')"),
    ("dangling-symlink", "os.symlink('target.json', 'link.json') or "
     "train_l(model=linear('link.json'))", "ok",
     "assert os.path.islink('link.json'); kemb.load_linear_model('target.json')"),
    ("load-through-symlink", "os.symlink('cat.json', 'link.json') or "
     "kemb.load_categorical_model('link.json')", "ok", ""),
]


def arrays():
    rng = np.random.default_rng(11)
    x = rng.normal(size=(ROWS, 3)).astype(F)
    labels = np.array([0, 1, 2, 0, 1], np.int32)
    x_nan, x_inf, targets = x.copy(), x.copy(), rng.normal(size=ROWS).astype(F)
    x_nan[1, 2] = np.nan
    x_inf[3, 0] = -np.inf
    targets_nan = targets.copy()
    targets_nan[4] = np.nan

    def labels_with(value):
        out = labels.copy()
        out[2] = value
        return out

    return dict(x=x, labels=labels, targets=targets, x_nan=x_nan, x_inf=x_inf,
                targets_nan=targets_nan, labels_3=labels_with(3), labels_minus_1=labels_with(-1),
                labels_max=labels_with(2**31 - 1), labels_min=labels_with(-2**31))


@pytest.fixture(scope="module")
def saved_models(tmp_path_factory):
    """A trained file of each kind, to evaluate and to link to."""
    directory = tmp_path_factory.mktemp("saved")
    code = textwrap.dedent("""
        for kind, train in (("lin", train_l), ("cat", train_c)):
            model = (linear if kind == "lin" else categorical)(kind + ".json")
            train(model=model, epochs=10, print_freq=100)
        """)
    result = run_kemb(directory, SETUP.format(call="None", after="") + code, **arrays())
    assert result.returncode == 0, result.stderr
    return {name: (directory / name).read_bytes() for name in ("lin.json", "cat.json")}


@pytest.mark.parametrize("case_id, call, expected, after", CASES, ids=[c[0] for c in CASES])
def test_bad_input(tmp_path, saved_models, case_id, call, expected, after):
    for name, content in saved_models.items():
        (tmp_path / name).write_bytes(content)
    result = run_kemb(tmp_path, SETUP.format(call=call, after=after), **arrays())
    assert result.returncode == 0, result.stderr
    outcome = [line for line in result.stderr.splitlines() if line.startswith("OUTCOME ")][-1]
    outcome = outcome[len("OUTCOME "):]
    assert outcome == expected
    if case_id == "65535-epochs":
        assert result.stdout.startswith("epoch: 65535, acc: ")
        assert result.stdout.count("\n") == 1
    if case_id.startswith("nan"):
        assert "NaN" in result.stdout
