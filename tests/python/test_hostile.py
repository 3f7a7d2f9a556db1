"""Hostile conditions, each in a child process with a timeout: a change of
directory during training, a model file with one enormous token, Ctrl-C in
every wait of a call, and the interpreter's exit while daemon threads are
inside kemb calls."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import kemb
import model_files as mf
from conftest import F, PRELUDE

# A hung child (the lock held for good, a lost signal) fails its test here.
TIMEOUT = 120


def leftovers(*directories):
    return [name for d in directories for name in os.listdir(d) if ".kemb-tmp-" in name]


def start(tmp_path, code, *args, cwd=None, **popen):
    """Starts `code` after the test prelude (kemb, np, data)."""
    script = tmp_path / "child.py"
    script.write_text(PRELUDE.format(npz=str(tmp_path / "arrays.npz")) + code)
    return subprocess.Popen([sys.executable, str(script), *map(str, args)],
                            cwd=cwd or tmp_path, text=True, **popen)


CHDIR = """
import os, threading
first, second, alone = sys.argv[1:4]
x = data["x"]
y = (x[:, 0] > x[:, 1]).astype(np.int32)

def train(path):  # on a new thread: its generator is seeded by KEMB_SEED
    add = kemb.add_categorical_model_layer
    model = add(add(kemb.create_categorical_model("softmax", path), 64, 32, "dense", "relu"), 32, 2,
                "dense")
    kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.001, 0.0), 150, 150,
                                 x, y, np.zeros((0, 0), np.float32), y)

def move():  # while a save to the first directory is under way
    while not any(".kemb-tmp-" in name for name in os.listdir(first)):
        pass
    os.chdir(second)

threads = [threading.Thread(target=train, args=(os.path.join(alone, "model.json"),)),
           threading.Thread(target=move), threading.Thread(target=train, args=("model.json",))]
threads[0].start()
threads[0].join()
threads[1].start()
threads[2].start()
threads[1].join()
threads[2].join()
"""


def test_a_change_of_directory_moves_later_saves_and_orphans_nothing(tmp_path):
    first, second, alone = (tmp_path / name for name in ("first", "second", "alone"))
    [d.mkdir() for d in (first, second, alone)]
    np.savez(tmp_path / "arrays.npz", x=np.random.default_rng(3).random((3000, 64), dtype=F))
    child = start(tmp_path, CHDIR, first, second, alone, cwd=first, stderr=subprocess.PIPE,
                  env=dict(os.environ, KEMB_SEED="11"))
    _, stderr = child.communicate(timeout=TIMEOUT)
    assert child.returncode == 0, stderr
    assert leftovers(first, second) == []

    def document(path):  # the text before the path, which differs
        text = path.read_bytes()
        return text[:text.rindex(b'"save_best_params":')]

    # The last save went where the path pointed after the move; a save in
    # progress at the move was completed where it had been started.
    assert document(second / "model.json") == document(alone / "model.json")
    if (first / "model.json").exists():
        kemb.load_categorical_model(str(first / "model.json"))


# The child's peak resident set is its VmHWM (KiB): ru_maxrss would start from the parent's peak.
HOSTILE_TOKEN = """
def peak_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

before = peak_kib()
try:
    kemb.load_linear_model(sys.argv[1])
except BaseException as error:
    message = error.args[0]
print(len(message), peak_kib() - before, message[-120:])
"""
TOKEN = 30_000_000


@pytest.mark.parametrize("head, tail, marker", [
    ('{"layers":[{"weights":{"v":1,"dim":[', "]}}]}", "integer"),  # digits where a count goes
    ('{"acc_precision":"', '"}', "string"),  # a string where a float goes
    ('{"layers":[{"weights":{"', '":1}}]}', "unknown field"),  # an unknown array key
], ids=["digits", "string", "key"])
def test_one_huge_token_costs_a_bounded_message_and_memory(tmp_path, head, tail, marker):
    path = tmp_path / "hostile.json"
    with open(path, "w") as f:
        f.write(head + "9" * TOKEN + tail)
    child = start(tmp_path, HOSTILE_TOKEN, path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = child.communicate(timeout=TIMEOUT)
    assert child.returncode == 0, err
    length, grown_kib, end = out.split(" ", 2)
    assert int(length) < 1000 and f"[cut: {TOKEN} bytes]" in end and marker in err
    # The token is read in 256 KiB blocks and only its first bytes kept.
    assert int(grown_kib) < 16 * 1024


CTRL_C = """
import contextlib, os, signal, threading, time
mode, path = sys.argv[1:3]
# A child of a shell without job control starts with SIGINT ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)

def ticker():  # runs only while the lock is free; Ctrl-C at its 20th tick
    for _ in range(20):
        time.sleep(0.01)
    os.kill(os.getpid(), signal.SIGINT)

def endless_writer():  # its open() returns once the load opens the other end
    with contextlib.suppress(BrokenPipeError), open(path, "wb") as f:
        while True:
            f.write(b" " * 65536)

if mode.startswith("fifo"):
    os.mkfifo(path)
    threading.Thread(target=ticker, daemon=True).start()
if mode == "fifo-load-read":
    threading.Thread(target=endless_writer, daemon=True).start()
try:
    if mode.startswith("fifo-load"):
        kemb.load_linear_model(path)
    else:
        x = data["x"]
        y = (x[:, 0] > x[:, 1]).astype(np.int32)
        add = kemb.add_categorical_model_layer
        model = add(add(kemb.create_categorical_model("softmax", path), x.shape[1], 16, "dense",
                        "relu"), 16, 2, "dense")
        epochs = 2 if mode == "final-wait" else 5000
        kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.001, 0.0), epochs,
                                     epochs, x, y, np.zeros((0, 0), np.float32), y)
    print("returned", flush=True)
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
"""
# Rows x columns of x: saves of 40 MB during epochs, a last one of 220 MB.
SHAPES = {"epochs": (20000, 200), "final-wait": (20000, 1000), "fifo-save": (64, 4)}


def interrupted_run(tmp_path, mode, path):
    """Runs CTRL_C in `mode`, pressing Ctrl-C where the mode needs it."""
    child = start(tmp_path, CTRL_C, mode, path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if mode == "epochs":  # epoch 3 is printed before its save
        for line in child.stdout:
            if line.startswith("epoch:    3"):
                break
        child.send_signal(signal.SIGINT)
    elif mode == "final-wait":  # the only save (epoch 2), which the call waits for, grows
        def written(name):
            try:
                return os.path.getsize(tmp_path / name)
            except FileNotFoundError:  # renamed meanwhile
                return 0
        while child.poll() is None and not any(written(n) > 1 << 20 for n in leftovers(tmp_path)):
            time.sleep(0.002)
        child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=TIMEOUT)
    assert child.returncode == 0, err
    return out.splitlines()[-1], err


@pytest.mark.parametrize("mode", ["epochs", "final-wait", "fifo-save", "fifo-load-open",
                                  "fifo-load-read"])
def test_ctrl_c_raises_keyboard_interrupt_in_every_wait(tmp_path, mode):
    path = tmp_path / "model.json"
    if mode in SHAPES:
        np.savez(tmp_path / "arrays.npz", x=np.random.default_rng(5).random(SHAPES[mode], dtype=F))
    previous = None
    for _ in range(3):
        if mode == "final-wait":
            mf.write(path, mf.categorical_model([], str(path)))  # the last complete save
            previous = path.read_bytes()
        outcome, err = interrupted_run(tmp_path, mode, path)
        # On a busy machine the signal may come after the save is done.
        if not (mode == "final-wait" and outcome == "returned"):
            break
    assert outcome == "KeyboardInterrupt", err
    assert leftovers(tmp_path) == []
    if mode == "final-wait":
        assert path.read_bytes() == previous  # the abandoned save never replaced it
    elif mode == "epochs" and path.exists():
        assert mf.matrix_of(mf.read(path)["layers"][0]["inputs"]).shape == SHAPES[mode]


DAEMON = """
import os, threading, time
kind, path, fifo = sys.argv[1:4]
x, y = data["x"], data["y"]
add = kemb.add_linear_model_layer
model = add(add(kemb.create_linear_model("linear", path), 8, 16, "dense", "relu"), 16, 1, "dense")
opt = kemb.create_optimizer("sgd", 0.01, 0.0)
kemb.train_linear_model(model, opt, 3, 3, x, y, x, y)
trained = kemb.load_linear_model(path)

def work():
    while True:
        if kind == "train":
            kemb.train_linear_model(model, opt, 65535, 65535, x, y, x, y)
        elif kind == "evaluate":
            kemb.evaluate_linear_model(trained, x, y)
        else:
            kemb.load_linear_model(path)

threading.Thread(target=work, daemon=True).start()
if kind == "load":
    os.mkfifo(fifo)  # a load that waits for a writer that never comes
    threading.Thread(target=kemb.load_linear_model, args=(fifo,), daemon=True).start()
time.sleep(0.3)
"""


@pytest.mark.parametrize("kind", ["train", "evaluate", "load"])
def test_the_interpreter_exits_normally_with_daemon_threads_in_kemb_calls(tmp_path, kind):
    rng = np.random.default_rng(6)
    np.savez(tmp_path / "arrays.npz", x=rng.normal(size=(200, 8)).astype(F),
             y=rng.normal(size=200).astype(F))
    child = start(tmp_path, DAEMON, kind, tmp_path / "model.json", tmp_path / "fifo",
                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # Not 134 (std::terminate on the thread's forced unwind), and no hang.
    err = child.communicate(timeout=TIMEOUT)[1]
    assert child.returncode == 0, err
    assert leftovers(tmp_path) == []
