r"""Ctrl-C latency of a training call at MNIST size: the time from SIGINT to
the KeyboardInterrupt in the script, with saving off and on.

A child trains a 784-128-10 model on 60000 synthetic MNIST-like samples
(no validation set, so a save holds the whole training matrix in the first
layer's cached inputs, about 470 MB). The parent waits for a progress line,
sends SIGINT after a random part of an epoch, and the child reports when
KeyboardInterrupt reached it (CLOCK_MONOTONIC is shared by both
processes). The signal is checked between epochs, after the epoch's save,
so the latency is the rest of the epoch plus its save, if one is due.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \
        .venv/bin/python bench/interrupt_latency.py [TRIALS]
"""

import ctypes
import glob
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import kemb

CHILD = r"""
import sys, time
import numpy as np
import kemb

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
    kemb.train_categorical_model(model, opt, 1000, 1000, x, y, np.zeros((0, 0), np.float32), y)
except KeyboardInterrupt:
    print(f"interrupted {time.monotonic()!r}", file=sys.stderr, flush=True)
"""


def blas_core():
    libs = glob.glob(os.path.join(os.path.dirname(kemb.__file__), "kemb.libs", "*.so*"))
    lib = ctypes.CDLL(libs[0])
    lib.scipy_openblas_get_corename.restype = ctypes.c_char_p
    return lib.scipy_openblas_get_corename().decode()


def trial(directory, saving, rng):
    path = os.path.join(directory, "model.json") if saving else ""
    script = os.path.join(directory, "child.py")
    with open(script, "w") as f:
        f.write(CHILD)
    child = subprocess.Popen([sys.executable, script, path], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, cwd=directory)
    assert child.stdout.readline() == "ready\n"
    stamps = []
    for _ in range(4):  # epochs 1 to 4: three epoch lengths, two saves done
        child.stdout.readline()
        stamps.append(time.monotonic())
    epoch = statistics.median(b - a for a, b in zip(stamps, stamps[1:]))
    time.sleep(rng.uniform(0.0, epoch))
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    _, stderr = child.communicate(timeout=600)
    caught = float(stderr.split("interrupted ")[1])
    return caught - sent, epoch


def main():
    trials = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    rng = random.Random(1)
    print(f"OpenBLAS kernel: {blas_core()}, {trials} trials per row, medians and maxima")
    print("| saving | epoch (s) | latency median (s) | latency max (s) |")
    print("|---|---|---|---|")
    for saving in (False, True):
        latencies, epochs = [], []
        for _ in range(trials):
            with tempfile.TemporaryDirectory() as directory:
                latency, epoch = trial(directory, saving, rng)
            latencies.append(latency)
            epochs.append(epoch)
        print(f"| {'on' if saving else 'off'} | {statistics.median(epochs):.3f} | "
              f"{statistics.median(latencies):.3f} | {max(latencies):.3f} |", flush=True)


if __name__ == "__main__":
    main()
