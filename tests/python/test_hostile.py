"""Hostile conditions, each in a child process with a timeout: a change of
directory during training, a model file with one enormous token or an
enormous claimed layer, Ctrl-C in every wait of a call, the interpreter's
exit while daemon threads are inside kemb calls, another user's links and
files in a shared directory, magic links as the path, no thread to be had,
a closed standard output and sub-interpreters."""

import importlib.util
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import kemb
import model_files as mf
from conftest import F, PRELUDE, run_script

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
    if len(sys.argv) == 2:
        kemb.load_linear_model(sys.argv[1])
    else:  # a claimed layer, trained on too few columns
        x = np.ones((50, 4), np.float32)
        kemb.train_linear_model(kemb.load_linear_model(sys.argv[1]),
                                kemb.create_optimizer("sgd", 0.1, 0.0), 3, 1, x, x[:, 0], x, x[:, 0])
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


def test_a_claimed_huge_layer_fails_before_it_costs_memory(tmp_path):
    # 1 GiB of weights, which the first product would refuse.
    path = mf.write(tmp_path / "huge.json",
                    mf.linear_model([mf.layer("dense", n_inputs=16384, n_neurons=16384)]))
    child = start(tmp_path, HOSTILE_TOKEN, path, "train", stdout=subprocess.PIPE,
                  stderr=subprocess.PIPE)
    out, err = child.communicate(timeout=TIMEOUT)
    assert child.returncode == 0, err
    _, grown_kib, message = out.split(" ", 2)
    assert message.strip() == ("ndarray: inputs 50 \u00d7 4 and 16384 \u00d7 16384 are not "
                               "compatible for matrix multiplication")
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


SAVE = """
import os
os.umask(0o077)
x = np.ones((4, 1), np.float32)
model = kemb.add_linear_model_layer(kemb.create_linear_model("linear", sys.argv[1]), 1, 1, "dense")
try:
    kemb.train_linear_model(model, kemb.create_optimizer("sgd", 0.1, 0.0), 3, 4, x, x[:, 0],
                            np.zeros((0, 0), np.float32), x[:, 0])
    print("saved", flush=True)
except BaseException as error:
    print(error.args[0].split("kind: ")[-1].split(",")[0], flush=True)
"""
OTHER = 54321  # a user id with no account: another user of the machine


def as_other(path, *, target=False):
    os.lchown(path, OTHER, OTHER) if not target else os.chown(path, OTHER, OTHER)


# What a save does with each name in a sticky world-writable directory (like /tmp), set up by
# `plant(shared, private)`: the outcome, what the name is then, the private directory's names
# and the saved file's bits (the caller's own file keeps its bits, any other is new: umask 077).
SAVE_PATHS = {
    "their link to my file": (
        lambda s, p: ((p / "secret").write_text("mine"), (p / "secret").chmod(0o600),
                      (s / "model.json").symlink_to(p / "secret"), as_other(s / "model.json")),
        "PermissionDenied", "link", ["secret"], None),
    "their dangling link": (
        lambda s, p: ((s / "model.json").symlink_to(p / "new.json"), as_other(s / "model.json")),
        "PermissionDenied", "link", [], None),
    "their 0666 file": (
        lambda s, p: ((s / "model.json").write_text("theirs"), (s / "model.json").chmod(0o666),
                      as_other(s / "model.json", target=True)),
        "PermissionDenied", "0o666", [], None),
    "my own 0640 file": (
        lambda s, p: ((s / "model.json").write_text("old"), (s / "model.json").chmod(0o640)),
        "saved", "0o640", [], 0o640),
    "my link in my directory": (
        lambda s, p: ((p / "real.json").write_text("old"), (p / "real.json").chmod(0o604),
                      (s / "model.json").symlink_to(p / "real.json")),
        "saved", "link", ["real.json"], 0o604),
    "their file in my directory": (
        lambda s, p: ((p / "model.json").write_text("theirs"), (p / "model.json").chmod(0o666),
                      as_other(p / "model.json", target=True),
                      (s / "model.json").symlink_to(p / "model.json")),
        "saved", "link", ["model.json"], 0o600),
}


@pytest.mark.skipif(os.geteuid() != 0, reason="making another user's files needs root")
@pytest.mark.parametrize("case", SAVE_PATHS)
def test_the_save_path_reaches_only_what_the_kernel_would_open(tmp_path, case):
    plant, expected, name_holds, private_holds, mode = SAVE_PATHS[case]
    shared, private = tmp_path / "shared", tmp_path / "private"
    shared.mkdir()
    shared.chmod(0o1777)
    private.mkdir(mode=0o700)
    plant(shared, private)
    before = {p.name: p.read_bytes() for p in private.iterdir()}
    child = start(tmp_path, SAVE, shared / "model.json", stdout=subprocess.PIPE,
                  stderr=subprocess.PIPE)
    out, err = child.communicate(timeout=TIMEOUT)
    assert (child.returncode, out.strip()) == (0, expected), err
    name = shared / "model.json"
    assert ("link" if name.is_symlink() else oct(name.stat().st_mode & 0o777)) == name_holds
    assert sorted(p.name for p in private.iterdir()) == private_holds
    if mode is None:  # nothing anywhere was written
        assert {p.name: p.read_bytes() for p in private.iterdir()} == before
        assert name.is_symlink() or name.read_text() == "theirs"
    else:
        kemb.load_linear_model(str(name))
        assert name.resolve().stat().st_mode & 0o777 == mode
    assert leftovers(shared, private) == []


DEV_STDOUT = SAVE + """
os.write(1, b"\\nprinted after the call\\n")
"""


@pytest.mark.parametrize("stdout", ["pipe", "file"])
def test_dev_stdout_is_written_where_it_leads(tmp_path, stdout):
    sink = tmp_path / "stdout.txt"
    with open(sink, "wb") as f:
        child = start(tmp_path, DEV_STDOUT, "/dev/stdout", stderr=subprocess.PIPE,
                      stdout=subprocess.PIPE if stdout == "pipe" else f)
        out, err = child.communicate(timeout=TIMEOUT)
        inode = os.fstat(f.fileno()).st_ino
    text = out if stdout == "pipe" else sink.read_text()
    assert child.returncode == 0, err
    # The model went into the pipe or the file itself; a file is never replaced.
    assert '"save_best_params":"/dev/stdout"}' in text and "printed after the call" in text
    assert sink.stat().st_ino == inode and leftovers(tmp_path) == []


NO_THREAD = """
import os, resource, signal
def blocked():
    return sorted(signal.pthread_sigmask(signal.SIG_BLOCK, []))
before = blocked()
x = np.ones((4, 1), np.float32)
model = kemb.add_linear_model_layer(kemb.create_linear_model("linear", "/dev/null"), 1, 1, "dense")
if os.geteuid() == 0:  # root is not held to the limit
    os.setgid(int(sys.argv[1]))
    os.setuid(int(sys.argv[1]))
resource.setrlimit(resource.RLIMIT_NPROC, (1, resource.getrlimit(resource.RLIMIT_NPROC)[1]))
try:
    kemb.train_linear_model(model, kemb.create_optimizer("sgd", 0.1, 0.0), 3, 4, x, x[:, 0],
                            np.zeros((0, 0), np.float32), x[:, 0])
    outcome = "returned"
except BaseException as error:
    outcome = error.args[0]
print(outcome, blocked() == before, flush=True)
"""


def test_a_thread_that_cannot_start_leaves_the_signal_mask_as_it_was(tmp_path):
    child = start(tmp_path, NO_THREAD, OTHER, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                  env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    out, err = child.communicate(timeout=TIMEOUT)
    assert child.returncode == 0, err
    assert out.strip() == ("failed to start a thread: Resource temporarily unavailable "
                           "(os error 11) True")


CLOSED_STDOUT = """
import os
os.close(1)
x = data["x"]
y = (x[:, 0] > x[:, 1]).astype(np.int32)
add = kemb.add_categorical_model_layer
model = add(add(kemb.create_categorical_model("softmax", sys.argv[1]), 64, 16, "dense", "relu"), 16,
            2, "dense")
for trial in range(4):
    try:  # reports from epoch 3, after the first save (epoch 2) opened its files
        kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.01, 0.0), 6, 2, x, y,
                                     np.zeros((0, 0), np.float32), y)
        outcome = "returned"
    except BaseException as error:
        outcome = error.args[0]
    kemb.load_categorical_model(sys.argv[1])  # the saved file is whole
    os.write(2, f"outcome: {outcome}\\n".encode())
"""


def test_a_closed_stdout_fails_the_reports_and_never_reaches_the_model_file(tmp_path):
    np.savez(tmp_path / "arrays.npz", x=np.random.default_rng(8).random((2000, 64), dtype=F))
    child = start(tmp_path, CLOSED_STDOUT, tmp_path / "model.json", stderr=subprocess.PIPE)
    err = child.communicate(timeout=TIMEOUT)[1]
    assert child.returncode == 0, err
    outcomes = [line[9:] for line in err.splitlines() if line.startswith("outcome: ")]
    assert outcomes == ["failed printing to stdout: Bad file descriptor (os error 9)"] * 4, err
    assert b"epoch:" not in (tmp_path / "model.json").read_bytes()


SUBINTERPRETER = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
sub = interpreters.create()
try:
    failure = interpreters.run_string(sub, "import kemb")
except Exception as error:  # raised before 3.13, returned from then on
    failure = error
interpreters.destroy(sub)
print(failure)
import kemb
print(kemb.__all__[0])
"""


@pytest.mark.skipif(not any(importlib.util.find_spec(name) for name in
                            ("_interpreters", "_xxsubinterpreters")),
                    reason="no sub-interpreters in this Python")
def test_a_sub_interpreter_cannot_use_up_the_main_interpreters_import():
    child = run_script(SUBINTERPRETER, timeout=TIMEOUT)
    refusal, imported = child.stdout.splitlines()
    assert child.returncode == 0 and imported == "create_linear_model", child.stderr
    assert "ImportError" in refusal and "sub-interpreters" in refusal.replace("subint", "sub-int")
