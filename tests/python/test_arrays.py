"""Array arguments of the train and evaluate functions: which arrays each
kind accepts, and the TypeError naming the argument for the others."""

import kemb
import numpy as np
import pytest

import model_files

PANIC = BaseException  # PanicException is not importable; it derives from BaseException


def accepted(call):
    """True when every argument passed conversion: the call then either
    returns or fails inside the work itself (PanicException)."""
    try:
        call()
    except (TypeError, OverflowError):
        return False
    except PANIC as error:  # noqa: BLE001
        assert type(error).__name__ == "PanicException", error
    return True


def f32(*shape):
    return np.arange(int(np.prod(shape)), dtype=np.float32).reshape(shape)


def labels(n):
    return np.zeros(n, dtype=np.int32)


@pytest.fixture
def linear():
    return kemb.add_linear_model_layer(kemb.create_linear_model("linear", ""), 2, 1, "dense")


@pytest.fixture
def categorical():
    return kemb.create_categorical_model("softmax", "")


@pytest.fixture
def opt():
    return kemb.create_optimizer("adam", 0.001, 0.0)


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


class SubArray(np.ndarray):
    pass


STRIDED_MATRICES = {
    "transposed": lambda: f32(2, 4).T,
    "sliced": lambda: f32(8, 6)[::2, 1:5:2],
    "negative strides": lambda: f32(4, 2)[::-1, ::-1],
    "read-only": lambda: read_only(f32(4, 2)),
    "fortran order": lambda: np.asfortranarray(f32(4, 2)),
    "subclass": lambda: f32(4, 2).view(SubArray),
    "broadcast view": lambda: np.broadcast_to(np.float32(1), (4, 2)),
}

STRIDED_VECTORS = {
    "sliced": lambda: f32(8)[::2],
    "negative strides": lambda: f32(4)[::-1],
    "read-only": lambda: read_only(f32(4)),
    "column of a matrix": lambda: f32(4, 3)[:, 1],
}


@pytest.fixture
def weighted(tmp_path):
    """A linear model with real weights: its report depends on every value."""
    path = model_files.write(tmp_path / "m.json", model_files.linear_model(
        [model_files.layer("dense", "", weights=[[0.5], [-0.25]], biases=[0.125])]))
    return kemb.load_linear_model(path)


def report(capfd, call):
    capfd.readouterr()
    call()
    return capfd.readouterr().out


@pytest.mark.parametrize("make", STRIDED_MATRICES.values(), ids=STRIDED_MATRICES.keys())
def test_any_matrix_layout_reads_as_its_logical_values(weighted, capfd, make):
    """Elements are read in logical order whatever the strides: the report
    equals that of a contiguous copy."""
    targets = f32(4)
    contiguous = np.ascontiguousarray(make())
    assert report(capfd, lambda: kemb.evaluate_linear_model(weighted, make(), targets)) == \
        report(capfd, lambda: kemb.evaluate_linear_model(weighted, contiguous, targets))


@pytest.mark.parametrize("make", STRIDED_VECTORS.values(), ids=STRIDED_VECTORS.keys())
def test_any_vector_layout_reads_as_its_logical_values(weighted, capfd, make):
    x = f32(4, 2)
    contiguous = np.ascontiguousarray(make())
    assert report(capfd, lambda: kemb.evaluate_linear_model(weighted, x, make())) == \
        report(capfd, lambda: kemb.evaluate_linear_model(weighted, x, contiguous))


@pytest.mark.parametrize("make", [
    lambda: np.zeros((0, 0), np.float32), lambda: np.zeros((0, 3), np.float32),
    *STRIDED_MATRICES.values()])
def test_training_accepts_any_matrix_layout(linear, opt, make):
    assert accepted(lambda: kemb.train_linear_model(linear, opt, 0, 1, make(), f32(4), make(), f32(4)))


@pytest.mark.parametrize("make", [
    lambda: labels(4), lambda: labels(8)[::2], lambda: read_only(labels(4)),
    lambda: np.zeros(4, np.intc), lambda: np.zeros(4, "=i4"),
])
def test_label_vector_accepts_int32(categorical, opt, make):
    assert accepted(lambda: kemb.evaluate_categorical_model(categorical, f32(4, 2), make()))
    assert accepted(lambda: kemb.train_categorical_model(
        categorical, opt, 0, 1, f32(4, 2), make(), f32(4, 2), make()))


NOT_FLOAT_MATRICES = [
    [[1.0, 2.0]],
    np.zeros((2, 2)),  # float64, NumPy's default
    np.zeros((2, 2), np.float16),
    np.zeros((2, 2), ">f4"),  # float32 in the other byte order
    np.zeros((2, 2), np.int32),
    np.zeros(2, np.float32),
    np.zeros((2, 2, 1), np.float32),
    np.float32(1.0),
    None,
]

NOT_FLOAT_VECTORS = [
    [1.0, 2.0],
    np.zeros(2),
    np.zeros((2, 1), np.float32),
    np.zeros(2, np.int32),
    np.zeros(2, ">f4"),
    None,
]

NOT_LABEL_VECTORS = [
    [0, 1],
    np.zeros(2, np.int64),  # NumPy's default integer
    np.zeros(2, np.uint32),
    np.zeros(2, np.int16),
    np.zeros(2, np.float32),
    np.zeros((2, 1), np.int32),
    np.zeros(2, ">i4"),
    None,
]


@pytest.mark.parametrize("bad", NOT_FLOAT_MATRICES)
@pytest.mark.parametrize("position", ["x", "val_x"])
def test_train_refuses_bad_matrices(linear, opt, bad, position):
    args = {"x": f32(4, 2), "y": f32(4), "val_x": f32(4, 2), "val_y": f32(4)}
    args[position] = bad
    with pytest.raises(TypeError, match=f"argument '{position}'"):
        kemb.train_linear_model(linear, opt, 1, 1, **args)


@pytest.mark.parametrize("bad", NOT_FLOAT_VECTORS)
@pytest.mark.parametrize("position", ["y", "val_y"])
def test_train_linear_refuses_bad_targets(linear, opt, bad, position):
    args = {"x": f32(4, 2), "y": f32(4), "val_x": f32(4, 2), "val_y": f32(4)}
    args[position] = bad
    with pytest.raises(TypeError, match=f"argument '{position}'"):
        kemb.train_linear_model(linear, opt, 1, 1, **args)


@pytest.mark.parametrize("bad", NOT_LABEL_VECTORS)
@pytest.mark.parametrize("position", ["y", "val_y"])
def test_train_categorical_refuses_bad_labels(categorical, opt, bad, position):
    args = {"x": f32(4, 2), "y": labels(4), "val_x": f32(4, 2), "val_y": labels(4)}
    args[position] = bad
    with pytest.raises(TypeError, match=f"argument '{position}'"):
        kemb.train_categorical_model(categorical, opt, 1, 1, **args)


@pytest.mark.parametrize("bad_x, bad_y, name", [
    (np.zeros((2, 2)), f32(2), "val_x"),
    (f32(2, 2), np.zeros(2), "val_y"),
])
def test_evaluate_refuses_bad_arrays(linear, bad_x, bad_y, name):
    with pytest.raises(TypeError, match=f"argument '{name}'"):
        kemb.evaluate_linear_model(linear, bad_x, bad_y)


def test_the_message_names_both_kinds(linear, opt):
    with pytest.raises(TypeError) as info:
        kemb.train_linear_model(linear, opt, 1, 1, np.zeros((2, 2)), f32(2), f32(2, 2), f32(2))
    assert "float32" in str(info.value) and "float64" in str(info.value)


def test_arguments_are_checked_in_signature_order(linear, opt, categorical):
    bad = np.zeros((2, 2))
    with pytest.raises(TypeError, match="'model'"):
        kemb.train_linear_model(categorical, "opt", -1, 1, bad, bad, bad, bad)
    with pytest.raises(TypeError, match="'opt'"):
        kemb.train_linear_model(linear, linear, -1, 1, bad, bad, bad, bad)
    with pytest.raises(OverflowError):
        kemb.train_linear_model(linear, opt, -1, 1.5, bad, bad, bad, bad)
    with pytest.raises(TypeError, match="'print_freq'"):
        kemb.train_linear_model(linear, opt, 1, 1.5, bad, bad, bad, bad)
    with pytest.raises(TypeError, match="'x'"):
        kemb.train_linear_model(linear, opt, 1, 1, bad, bad, bad, bad)
    with pytest.raises(TypeError, match="'y'"):
        kemb.train_linear_model(linear, opt, 1, 1, f32(2, 2), bad, bad, bad)


@pytest.mark.parametrize("num_epochs, print_freq, error", [
    (65536, 1, OverflowError),
    (1, 65536, OverflowError),
    (-1, 1, OverflowError),
    (1.0, 1, TypeError),
    (None, 1, TypeError),
    (1, "1", TypeError),
])
def test_small_counts(linear, opt, num_epochs, print_freq, error):
    with pytest.raises(error):
        kemb.train_linear_model(linear, opt, num_epochs, print_freq, f32(2, 2), f32(2), f32(2, 2), f32(2))


@pytest.mark.parametrize("num_epochs, print_freq", [(0, 0), (0, 65535), (65535, 0)])
def test_small_count_bounds_are_accepted(linear, opt, num_epochs, print_freq):
    # Zero epochs train nothing, and a zero print_freq fails before training.
    assert accepted(lambda: kemb.train_linear_model(
        linear, opt, num_epochs, print_freq, f32(2, 2), f32(2), f32(2, 2), f32(2)))


def test_load_refuses_non_text_paths():
    import pathlib
    for bad in (None, b"model.json", pathlib.Path("model.json"), 3):
        with pytest.raises(TypeError, match="'save_best_params'"):
            kemb.load_linear_model(bad)
        with pytest.raises(TypeError, match="'save_best_params'"):
            kemb.load_categorical_model(bad)
