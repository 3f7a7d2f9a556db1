"""Threads around training: calls on several threads at once, another thread
forking while the products run, and the controls that cap the threads of
kemb's products. (Ctrl-C, the released interpreter lock and a busy thread
beside a call are covered by test_hostile.py.)

Forks and thread caps run in a child interpreter with a timeout, so a hang
fails the test instead of stopping the suite. The thread cap is observed through the
CPU time of kemb's product threads (named "kemb-product" in
/proc/self/task), not through any timing."""

import os
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import kemb

TRAINING = """
import os, random, sys, threading, time, traceback
import numpy as np
import kemb

# 2000 samples through 784-64: every product of an epoch but the last
# layer's forward pass is large enough to be split over threads.
rng = np.random.default_rng(int(sys.argv[1]))
x = rng.random((2000, 784), dtype=np.float32)
y = rng.integers(0, 10, size=2000).astype(np.int32)
none = np.zeros((0, 0), np.float32)


def train(epochs):
    model = kemb.create_categorical_model("softmax", "")
    model = kemb.add_categorical_model_layer(model, 784, 64, "dense", "relu")
    model = kemb.add_categorical_model_layer(model, 64, 10, "dense")
    opt = kemb.create_optimizer("adam", 0.001, 0.0)
    kemb.train_categorical_model(model, opt, epochs, 1, x, y, none, y)
"""

FORK_TRIAL = TRAINING + """
done = threading.Event()
outcomes = []


# Under AddressSanitizer a child that allocates can wait forever for the
# sanitizer allocator's lock, held by another thread of the parent when it
# forked (glibc's malloc takes its locks across fork()): there the children
# only exit.
children_train = "libasan" not in os.environ.get("LD_PRELOAD", "")


def fork_repeatedly():
    # Forks at random moments of the training below; every fourth child
    # trains a model of its own, the others exit at once.
    while not done.is_set():
        time.sleep(random.uniform(0.0, 0.02))
        trains = children_train and len(outcomes) % 4 == 0
        pid = os.fork()
        if pid == 0:
            status = 0
            try:
                if trains:
                    train(2)
            except BaseException:
                traceback.print_exc()
                status = 1
            os._exit(status)
        for _ in range(3000):  # 30 s
            finished, status = os.waitpid(pid, os.WNOHANG)
            if finished:
                outcomes.append(status)
                break
            time.sleep(0.01)
        else:
            os.kill(pid, 9)
            outcomes.append("hung")


forker = threading.Thread(target=fork_repeatedly)
forker.start()
train(25)
done.set()
forker.join()
print("forks", len(outcomes), "failed children", sum(o != 0 for o in outcomes), flush=True)
"""


def run_trial(code, seed, timeout=60, env=None):
    """Runs `code` with `seed` as its argument; None when it hung."""
    try:
        return subprocess.run([sys.executable, "-c", code, str(seed)], capture_output=True,
                              text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return None


def test_forks_from_another_thread_during_training_never_hang():
    # Two trials at a time: the hang needs no idle core to show.
    with ThreadPoolExecutor(2) as trials:
        results = list(trials.map(lambda seed: run_trial(FORK_TRIAL, seed), range(20)))
    hung, failed = [], []
    for seed, result in enumerate(results):
        if result is None:
            hung.append(seed)
        elif result.returncode != 0 or "failed children 0\n" not in result.stdout:
            failed.append((seed, result.returncode, result.stdout[-200:], result.stderr[-500:]))
    assert not hung, f"{len(hung)} of 20 trials hung"
    assert not failed


CAP_TRIAL = TRAINING + """
def product_cpu_ns():
    total = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                if f.read().strip() != "kemb-product":
                    continue
            with open(f"/proc/self/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass
    return total


def cpu_of_training():
    before = product_cpu_ns()
    train(5)
    return product_cpu_ns() - before


if sys.argv[2] == "threadpoolctl":
    from threadpoolctl import threadpool_limits

    with threadpool_limits(limits=1):
        capped = cpu_of_training()
    free = cpu_of_training()
else:  # OPENBLAS_NUM_THREADS=1 in the environment
    capped = cpu_of_training()
    free = None
print("capped", capped, "free", free, flush=True)
"""


@pytest.mark.skipif(os.cpu_count() < 2, reason="one core: products never split")
@pytest.mark.parametrize("control", ["threadpoolctl", "OPENBLAS_NUM_THREADS"])
def test_thread_controls_cap_the_products(control):
    env = dict(os.environ)
    if control == "OPENBLAS_NUM_THREADS":
        env["OPENBLAS_NUM_THREADS"] = "1"
    result = subprocess.run([sys.executable, "-c", CAP_TRIAL, "0", control],
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    words = result.stdout.splitlines()[-1].split()
    # Capped at one thread, kemb's product threads never ran; once the
    # limit is lifted they do.
    assert words[1] == "0"
    if control == "threadpoolctl":
        assert int(words[3]) > 0


def test_concurrent_training_calls_are_independent(tmp_path, monkeypatch):
    monkeypatch.setenv("KEMB_SEED", "77")
    rng = np.random.default_rng(2)
    x = rng.normal(size=(64, 8)).astype(np.float32)
    labels = rng.integers(0, 3, size=64).astype(np.int32)
    targets = rng.normal(size=64).astype(np.float32)

    def categorical(path):
        model = kemb.create_categorical_model("softmax", str(path))
        model = kemb.add_categorical_model_layer(model, 8, 16, "dense", "relu")
        model = kemb.add_categorical_model_layer(model, 0, 0, "dropout", None, 0.25)
        model = kemb.add_categorical_model_layer(model, 16, 3, "dense")
        kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.01, 0.001), 40, 100,
                                     x, labels, np.zeros((0, 0), np.float32), labels)

    def linear(path):
        model = kemb.create_linear_model("linear", str(path))
        model = kemb.add_linear_model_layer(model, 8, 16, "dense", "relu")
        model = kemb.add_linear_model_layer(model, 16, 1, "dense")
        kemb.train_linear_model(model, kemb.create_optimizer("sgd", 0.01, 0.0), 40, 100,
                                x, targets, x, targets)

    def on_threads(calls):
        # Each call on a new thread, from that thread's first draw.
        threads = [threading.Thread(target=f, args=(tmp_path / name,)) for f, name in calls]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    def document(name):
        # Each file names its own path last; everything before must agree.
        text = (tmp_path / name).read_bytes()
        return text[:text.rindex(b'"save_best_params":')]

    for f in (categorical, linear):
        on_threads([(f, f"{f.__name__}-alone.json")])
    on_threads([(f, f"{f.__name__}-{i}.json") for i in range(2) for f in (categorical, linear)])
    for kind in ("categorical", "linear"):
        for i in range(2):
            assert document(f"{kind}-{i}.json") == document(f"{kind}-alone.json")
