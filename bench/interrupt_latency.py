r"""Ctrl-C latency: the time from SIGINT to the exception in the script, in
each place a call can wait, and how often a 10 ms ticker thread runs
meanwhile.

Cases (MNIST size: 60000 synthetic samples, 784-128-10, no validation set,
so a save holds the training matrix as the first layer's inputs, 470 MB):

- epochs-off, epochs-on: SIGINT at a random point of an epoch after the
  fourth, saving off or on (the signal is seen at the end of the epoch).
- final-wait: a two-epoch call whose only save (epoch 2) is being written;
  SIGINT at a random point of that save, once 1 MiB of it is on disk.
- load-file: a load of a 400 MB model file, SIGINT at a random point of it.
- load-fifo-open: a load of a FIFO that never gets a writer.
- load-fifo-read: a load of a FIFO whose writer sends white space forever.

The child reports when the exception reached it and its type
(CLOCK_MONOTONIC is shared by both processes); a child that has not ended
10 s after the signal is killed and counted as "no end". With several
--python interpreters (kemb builds to compare), their trials alternate, so
the figures of each row were measured side by side.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \
        .venv/bin/python bench/interrupt_latency.py [--trials N] [--python PY]... [CASE]...
"""

import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

CASES = ["epochs-off", "epochs-on", "final-wait", "load-file", "load-fifo-open",
         "load-fifo-read"]

CHILD = r"""
import os, signal, sys, threading, time
# SIGINT may arrive ignored (a background job of a shell without job control).
signal.signal(signal.SIGINT, signal.default_int_handler)
import numpy as np
import kemb

case, path = sys.argv[1:3]
ticks = 0


def ticker():
    global ticks
    while True:
        time.sleep(0.01)
        ticks += 1


def run():
    global start, first
    if case.startswith("load"):
        print("ready", flush=True)
        start, first = time.monotonic(), ticks
        kemb.load_linear_model(path)
        return
    rng = np.random.default_rng(0)
    pixels = rng.integers(1, 256, size=(60000, 784), dtype=np.int32)
    pixels[rng.random((60000, 784)) < 0.6] = 0
    x = pixels.astype(np.float32) / np.float32(255)
    y = rng.integers(0, 10, size=60000).astype(np.int32)
    model = kemb.create_categorical_model("softmax", "" if case == "epochs-off" else path)
    model = kemb.add_categorical_model_layer(model, 784, 128, "dense", "relu")
    model = kemb.add_categorical_model_layer(model, 128, 10, "dense")
    opt = kemb.create_optimizer("adam", 0.001, 0.0)
    epochs = 2 if case == "final-wait" else 1000
    print("ready", flush=True)
    start, first = time.monotonic(), ticks
    kemb.train_categorical_model(model, opt, epochs, epochs, x, y,
                                 np.zeros((0, 0), np.float32), y)


threading.Thread(target=ticker, daemon=True).start()
outcome = None
try:
    try:
        run()
        outcome = "returned"
    except BaseException as error:
        outcome = type(error).__name__
    now = time.monotonic()
except KeyboardInterrupt as late:
    # Raised while the first exception was handled: the signal that an
    # interrupted system call had turned into another exception.
    now = time.monotonic()
    outcome = f"{type(late.__context__).__name__} then KeyboardInterrupt"
rate = (ticks - first) / (now - start)
print(f"ended {now!r} {outcome} {rate:.1f}", file=sys.stderr, flush=True)
"""

WRITER = r"""
import sys
with open(sys.argv[1], "wb") as f:
    try:
        while True:
            f.write(b" " * 65536)
    except BrokenPipeError:
        pass
"""


def blas_core(python):
    code = ("import ctypes, glob, os, kemb; "
            "lib = ctypes.CDLL(glob.glob(os.path.join(os.path.dirname(kemb.__file__), "
            "'kemb.libs', '*.so*'))[0]); "
            "lib.scipy_openblas_get_corename.restype = ctypes.c_char_p; "
            "print(lib.scipy_openblas_get_corename().decode())")
    return subprocess.run([python, "-c", code], capture_output=True, text=True).stdout.strip()


def large_model_file(path, values=40_000_000):
    """A linear model whose one layer holds `values` weights: about 400 MB."""
    empty_m, empty_v = '{"v":1,"dim":[0,0],"data":[]}', '{"v":1,"dim":[0],"data":[]}'
    with open(path, "w") as f:
        f.write('{"layers":[{"layer_type":"dense","activation_type":"","n_inputs":0,'
                f'"n_neurons":0,"weights":{{"v":1,"dim":[{values + 2},1],"data":[0.1234567')
        chunk = ",0.1234567" * 1_000_000
        for _ in range(values // 1_000_000):
            f.write(chunk)
        f.write(f',0.5]}},"biases":{empty_v},"weight_regularizer_l1":0.0,'
                '"weight_regularizer_l2":0.0,"bias_regularizer_l1":0.0,'
                f'"bias_regularizer_l2":0.0,"inputs":{empty_m},"activation_inputs":{empty_m},'
                f'"dweights":{empty_m},"dbiases":{empty_v},"weight_momentums":{empty_m},'
                f'"weight_cache":{empty_m},"bias_momentums":{empty_v},"bias_cache":{empty_v},'
                f'"dropout_rate":0.0,"binary_mask":{empty_m}}}],"output_type":"linear",'
                '"loss_type":"mean_squared_error","acc_type":"linear","acc_precision":1.0,'
                '"save_best_params":""}')


def growing_temporary(directory):
    return any(".kemb-tmp-" in name and os.path.getsize(os.path.join(directory, name)) > 1 << 20
               for name in os.listdir(directory))


def trial(python, case, directory, rng, load_seconds):
    """(latency in s, exception type, ticker rate, epoch or wait length)."""
    path = os.path.join(directory, "fifo" if "fifo" in case else "model.json")
    if case == "load-file":
        path = os.path.join(os.path.dirname(directory), "large.json")
    if "fifo" in case:
        os.mkfifo(path)
    script = os.path.join(directory, "child.py")
    with open(script, "w") as f:
        f.write(CHILD)
    child = subprocess.Popen([python, script, case, path], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, cwd=directory)
    writer = None
    if case == "load-fifo-read":
        writer = subprocess.Popen([sys.executable, "-c", WRITER, path])
    assert child.stdout.readline() == "ready\n"
    length = float("nan")
    if case.startswith("epochs"):
        stamps = []
        for _ in range(5):  # epochs 1 to 5: four epoch lengths
            child.stdout.readline()
            stamps.append(time.monotonic())
        length = statistics.median(b - a for a, b in zip(stamps, stamps[1:]))
        time.sleep(rng.uniform(0.0, length))
    elif case == "final-wait":
        child.stdout.readline()  # epoch 1
        child.stdout.readline()  # epoch 2, printed before its save
        while not growing_temporary(directory) and child.poll() is None:
            time.sleep(0.001)
        time.sleep(rng.uniform(0.0, 0.3))
    elif case == "load-file":
        time.sleep(rng.uniform(0.0, 0.8 * load_seconds))  # the child starts in the meantime
    else:
        time.sleep(1.0)  # the ticker's rate over a second of the wait
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    try:
        _, stderr = child.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        return float("nan"), "no end", float("nan"), length
    finally:
        if writer is not None:
            writer.kill()
            writer.wait()
    now, *outcome, rate = stderr.rsplit("ended ", 1)[1].split()
    return float(now) - sent, " ".join(outcome), float(rate), length


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trials", type=int, default=5)
    parser.add_argument("--python", action="append", help="interpreters with the kemb builds")
    parser.add_argument("cases", nargs="*", default=CASES)
    args = parser.parse_args()
    pythons = [os.path.abspath(p) for p in args.python or [sys.executable]]
    rng = random.Random(1)
    for python in pythons:
        print(f"{python}: OpenBLAS kernel {blas_core(python)}")
    print(f"{args.trials} trials per row; latency medians and maxima, ticker ticks per second")
    print("| case | build | epoch (s) | latency median (s) | latency max (s) | ends with "
          "| ticker (1/s) |")
    print("|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as top:
        load_seconds = 0.0
        if "load-file" in args.cases:
            large_model_file(os.path.join(top, "large.json"))
            timed = ("import sys, time, kemb; start = time.monotonic(); "
                     "kemb.load_linear_model(sys.argv[1]); print(time.monotonic() - start)")
            load_seconds = min(float(subprocess.run(
                [python, "-c", timed, os.path.join(top, "large.json")], check=True,
                capture_output=True, text=True).stdout) for python in pythons)
        for case in args.cases:
            results = {python: [] for python in pythons}
            for i in range(args.trials):
                for python in pythons:
                    directory = os.path.join(top, f"{case}-{i}-{pythons.index(python)}")
                    os.mkdir(directory)
                    results[python].append(trial(python, case, directory, rng, load_seconds))
            for python, rows in results.items():
                latencies = [r[0] for r in rows if r[0] == r[0]]
                ends = sorted({r[1] for r in rows})
                rates = [r[2] for r in rows if r[2] == r[2]]
                epochs = [r[3] for r in rows if r[3] == r[3]]
                cell = lambda values, f: f"{f(values):.3f}" if values else "-"
                print(f"| {case} | {pythons.index(python)} | {cell(epochs, statistics.median)} | "
                      f"{cell(latencies, statistics.median)} | {cell(latencies, max)} | "
                      f"{', '.join(ends)} ({len(latencies)} of {len(rows)} ended) | "
                      f"{cell(rates, statistics.median)} |", flush=True)


if __name__ == "__main__":
    main()
