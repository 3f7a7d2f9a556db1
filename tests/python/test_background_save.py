"""Saves written while the next epochs run: the file at the end of a call is
the last saved epoch's document, a write failure ends the call with the
operating system's error and keeps the previous file, Ctrl-C abandons the
save in progress, and no temporary file outlives a call."""

import os
import signal
import subprocess
import sys
import textwrap

import numpy as np

import model_files as mf
from conftest import PRELUDE, panic_message, run_kemb

F = np.float32
RNG = np.random.default_rng(7)


def leftovers(directory):
    return sorted(name for name in os.listdir(directory) if ".kemb-tmp-" in name)


def test_the_saved_document_does_not_depend_on_the_writers_timing(tmp_path):
    # Every epoch lowers the loss here, so every epoch from the second saves
    # and the writer replaces most of them; two seeded runs must still end
    # with the same document, holding the training set as layer 0's inputs.
    x = RNG.random((3000, 64), dtype=F)
    labels = (x[:, 0] > x[:, 1]).astype(np.int32)
    paths = [tmp_path / "model.json", tmp_path / "again.json"]
    for path in paths:
        result = run_kemb(
            tmp_path,
            f"""
            model = kemb.create_categorical_model("softmax", {str(path)!r})
            model = kemb.add_categorical_model_layer(model, 64, 32, "dense", "relu")
            model = kemb.add_categorical_model_layer(model, 32, 2, "dense")
            opt = kemb.create_optimizer("adam", 0.001, 0.0)
            kemb.train_categorical_model(model, opt, 60, 60, data['x'], data['y'],
                                         np.zeros((0, 0), np.float32), data['y'])
            """,
            env={"KEMB_SEED": "17"}, x=x, y=labels)
        assert result.returncode == 0, result.stderr
    texts = [p.read_bytes().replace(str(p).encode(), b"PATH") for p in paths]
    assert texts[0] == texts[1]
    np.testing.assert_array_equal(mf.matrix_of(mf.read(paths[0])["layers"][0]["inputs"]), x)
    assert leftovers(tmp_path) == []


def test_a_failing_write_ends_the_call_and_keeps_the_previous_file(tmp_path):
    path = tmp_path / "model.json"
    path.write_text("previous")
    x = RNG.random((4000, 100), dtype=F)  # about 4 MB of text per save
    result = run_kemb(
        tmp_path,
        f"""
        import resource, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # writes fail with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        model = kemb.create_linear_model("linear", {str(path)!r})
        model = kemb.add_linear_model_layer(model, 100, 1, "dense")
        opt = kemb.create_optimizer("sgd", 0.01, 0.0)
        guarded(kemb.train_linear_model, model, opt, 20, 20, data['x'], data['y'],
                np.zeros((0, 0), np.float32), data['y'])
        """,
        x=x, y=x[:, 0].copy())
    assert panic_message(result) == (
        'called `Result::unwrap()` on an `Err` value: '
        f'Os {{ code: 27, kind: FileTooLarge, message: "File too large", path: "{path}" }}')
    assert path.read_text() == "previous"
    assert leftovers(tmp_path) == []


def test_ctrl_c_abandons_the_save_in_progress(tmp_path):
    path = tmp_path / "model.json"
    x = RNG.random((20000, 200), dtype=F)  # about 40 MB of text per save
    np.savez(tmp_path / "arrays.npz", x=x, y=(x[:, 0] > 0.5).astype(np.int32))
    code = PRELUDE.format(npz=str(tmp_path / "arrays.npz")) + textwrap.dedent(f"""
        model = kemb.create_categorical_model("softmax", {str(path)!r})
        model = kemb.add_categorical_model_layer(model, 200, 64, "dense", "relu")
        model = kemb.add_categorical_model_layer(model, 64, 2, "dense")
        opt = kemb.create_optimizer("adam", 0.001, 0.0)
        try:
            kemb.train_categorical_model(model, opt, 5000, 5000, data['x'], data['y'],
                                         np.zeros((0, 0), np.float32), data['y'])
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """)
    child = subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Epoch 3 is printed before its save; interrupt once saves are under way.
    for line in child.stdout:
        if line.startswith("epoch:    3"):
            break
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.strip().endswith("interrupted")
    assert leftovers(tmp_path) == []
    if path.exists():  # a save that completed before the interrupt, whole
        assert mf.matrix_of(mf.read(path)["layers"][0]["inputs"]).shape == (20000, 200)
