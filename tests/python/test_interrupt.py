"""Ctrl-C and other threads during training.

A training call checks for pending signals between epochs: SIGINT ends it
with KeyboardInterrupt at the end of the epoch it arrived in, and a model
file then holds a complete document from one of the run's saves. While an
epoch computes, the interpreter lock is released, so other Python threads
keep running; per-thread generators and per-call copies keep concurrent
training calls independent, and nothing printed or saved changes.

(How long the interrupt takes in seconds is measured by
bench/interrupt_latency.py: tests assert no timings.)"""

import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kemb
from conftest import run_kemb

MNIST_CHILD = """
import os, sys, time
import numpy as np
import kemb

# MNIST-sized synthetic digits: 60000 x 784 pixels, 60% zeros, the rest k/255.
rng = np.random.default_rng(0)
pixels = rng.integers(1, 256, size=(60000, 784), dtype=np.int32)
pixels[rng.random((60000, 784)) < 0.6] = 0
x = pixels.astype(np.float32) / np.float32(255)
y = rng.integers(0, 10, size=60000).astype(np.int32)
model = kemb.create_categorical_model("softmax", sys.argv[1])
model = kemb.add_categorical_model_layer(model, 784, 128, "dense", "relu")
model = kemb.add_categorical_model_layer(model, 128, 10, "dense")
opt = kemb.create_optimizer("adam", 0.001, 0.0)
print("ready", flush=True)
try:
    # 1000 epochs, a progress line after every one of them.
    kemb.train_categorical_model(model, opt, 1000, 1000, x, y, np.zeros((0, 0), np.float32), y)
except KeyboardInterrupt:
    print("KeyboardInterrupt", file=sys.stderr, flush=True)
    sys.exit(7)
"""


def epoch_of(line):
    return int(line.split(",")[0].split(":")[1])


@pytest.mark.parametrize("saving", [False, True], ids=["saving-off", "saving-on"])
def test_sigint_ends_mnist_sized_training_with_keyboard_interrupt(tmp_path, saving):
    path = tmp_path / "model.json" if saving else ""
    script = tmp_path / "child.py"
    script.write_text(MNIST_CHILD)
    child = subprocess.Popen([sys.executable, str(script), str(path)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, cwd=tmp_path)
    assert child.stdout.readline() == "ready\n"
    # Let three epochs pass (two saves when saving), then press Ctrl-C.
    lines = [child.stdout.readline() for _ in range(3)]
    child.send_signal(signal.SIGINT)
    rest, stderr = child.communicate(timeout=600)
    assert child.returncode == 7, stderr
    assert stderr.endswith("KeyboardInterrupt\n")
    epochs = [epoch_of(line) for line in lines + rest.splitlines()]
    assert epochs == list(range(1, len(epochs) + 1))
    # The epoch under way finishes, and at most the line of one more epoch
    # that had already started (the signal can land between the check and
    # the next epoch's report) or was still in the pipe.
    assert len(epochs) <= 3 + 2
    if saving:
        # The file holds the last complete save, if one completed before the
        # interrupt (a save still being written is abandoned), and no
        # temporary file is left behind.
        names = sorted(os.listdir(tmp_path))
        assert names in (["child.py"], ["child.py", "model.json"]), names
        if "model.json" in names:
            loaded = kemb.load_categorical_model(str(path))
            assert type(loaded).__name__ == "CategoricalModel"


COUNTING_CHILD = """
import sys, threading, time
import numpy as np
import kemb

# No time-slice switches: another thread runs only when the one holding
# the interpreter lock releases it, so counting during the training call
# proves that the call released the lock.
sys.setswitchinterval(1000.0)
count = 0
stop = False


def counter():
    global count
    while not stop:
        count += 1
        time.sleep(0)  # releases the lock


thread = threading.Thread(target=counter)
thread.start()
while count < 10:
    time.sleep(0.001)
rng = np.random.default_rng(1)
x = rng.normal(size=(4000, 64)).astype(np.float32)
y = rng.integers(0, 4, size=4000).astype(np.int32)
model = kemb.create_categorical_model("softmax", "")
model = kemb.add_categorical_model_layer(model, 64, 64, "dense", "relu")
model = kemb.add_categorical_model_layer(model, 64, 4, "dense")
opt = kemb.create_optimizer("sgd", 0.1, 0.0)

# The control: pure Python work holds the lock throughout.
before = count
total = sum(i * i for i in range(3_000_000))
during_python = count - before
before = count
kemb.train_categorical_model(model, opt, 30, 100, x, y, x, y)
during_training = count - before
stop = True
thread.join()
print("counted", during_python, during_training, file=sys.stderr)
"""


def test_another_thread_keeps_running_while_training_computes(tmp_path):
    result = run_kemb(tmp_path, COUNTING_CHILD)
    assert result.returncode == 0, result.stderr
    during_python, during_training = map(int, result.stderr.split("counted")[1].split())
    assert during_python == 0
    assert during_training > 100


SAME_RUN = """
import sys, threading
import numpy as np
import kemb

rng = np.random.default_rng(2)
x = rng.normal(size=(64, 8)).astype(np.float32)
labels = rng.integers(0, 3, size=64).astype(np.int32)
targets = rng.normal(size=64).astype(np.float32)
none = np.zeros((0, 0), np.float32)


def categorical(path):
    model = kemb.create_categorical_model("softmax", path)
    model = kemb.add_categorical_model_layer(model, 8, 16, "dense", "relu")
    model = kemb.add_categorical_model_layer(model, 0, 0, "dropout", None, 0.25)
    model = kemb.add_categorical_model_layer(model, 16, 3, "dense")
    kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.01, 0.001), 40, 100,
                                 x, labels, none, labels)


def linear(path):
    model = kemb.create_linear_model("linear", path)
    model = kemb.add_linear_model_layer(model, 8, 16, "dense", "relu")
    model = kemb.add_linear_model_layer(model, 16, 1, "dense")
    kemb.train_linear_model(model, kemb.create_optimizer("sgd", 0.01, 0.0), 40, 100,
                            x, targets, x, targets)


if sys.argv[1] != "threads":
    # One call alone on the main thread, from the process's first draw.
    {"categorical": categorical, "linear": linear}[sys.argv[1]](sys.argv[1] + "-alone.json")
else:
    # Four calls at once, on four threads, each from its thread's first draw.
    threads = [threading.Thread(target=f, args=(f"{{f.__name__}}-{{i}}.json",))
               for i in range(2) for f in (categorical, linear)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
"""


def test_concurrent_training_calls_are_independent(tmp_path):
    script = tmp_path / "runs.py"
    script.write_text(SAME_RUN.replace("{{", "{").replace("}}", "}"))
    env = dict(os.environ, KEMB_SEED="77")
    for mode in ("categorical", "linear", "threads"):
        result = subprocess.run([sys.executable, str(script), mode], cwd=tmp_path, env=env,
                                capture_output=True, text=True, timeout=600)
        assert result.returncode == 0, result.stderr
    def document(name):
        # Each file names its own path last; everything before must agree.
        text = (tmp_path / name).read_bytes()
        return text[:text.rindex(b'"save_best_params":')]

    for kind in ("categorical", "linear"):
        for i in range(2):
            assert document(f"{kind}-{i}.json") == document(f"{kind}-alone.json")


def test_output_is_the_same_with_a_thread_running_beside(tmp_path):
    code = """
        import threading
        model = kemb.create_linear_model("linear", "model.json")
        model = kemb.add_linear_model_layer(model, 3, 4, "dense", "relu")
        model = kemb.add_linear_model_layer(model, 4, 1, "dense")
        opt = kemb.create_optimizer("adam", 0.01, 0.0)
        busy = {beside}
        if busy:
            spinning = True
            def spin():
                total = 0
                while spinning:
                    total += 1
            thread = threading.Thread(target=spin)
            thread.start()
        kemb.train_linear_model(model, opt, 50, 10, data["x"], data["y"], data["x"], data["y"])
        if busy:
            spinning = False
            thread.join()
        """
    rng = np.random.default_rng(4)
    x = rng.normal(size=(32, 3)).astype(np.float32)
    y = rng.normal(size=32).astype(np.float32)
    outputs = []
    for beside in (False, True):
        run_dir = tmp_path / str(beside)
        run_dir.mkdir()
        result = run_kemb(run_dir, textwrap.dedent(code).format(beside=beside),
                          env={"KEMB_SEED": "5"}, x=x, y=y)
        assert result.returncode == 0, result.stderr
        outputs.append((result.stdout, (run_dir / "model.json").read_bytes()))
    assert outputs[0] == outputs[1]
    assert outputs[0][0].count("\n") == 20
