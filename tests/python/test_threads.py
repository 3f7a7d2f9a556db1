"""Threads around training: concurrent calls, forks from another thread while the products
run, and the controls that cap kemb's "kemb-product" threads (seen in their CPU time)."""

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

# 2000 x 784 through 784-64: all products but the last forward pass are split over threads.
rng = np.random.default_rng(int(sys.argv[1]))
x = rng.random((2000, 784), dtype=np.float32)
y = rng.integers(0, 10, size=2000).astype(np.int32)
none = np.zeros((0, 0), np.float32)

def train(epochs):
    add = kemb.add_categorical_model_layer
    model = add(add(kemb.create_categorical_model("softmax", ""), 784, 64, "dense", "relu"),
                64, 10, "dense")
    kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.001, 0.0), epochs, 1,
                                 x, y, none, y)
"""

FORK_TRIAL = TRAINING + """
done = threading.Event()
outcomes = []

# Under AddressSanitizer a forked child that allocates can wait forever for
# an allocator lock another thread held at the fork: there children only exit.
children_train = "libasan" not in os.environ.get("LD_PRELOAD", "")

def fork_repeatedly():
    # Forks at random moments of the training; every fourth child trains, the others exit.
    while not done.is_set():
        time.sleep(random.uniform(0.0, 0.02))
        trains = children_train and len(outcomes) % 4 == 0
        pid = os.fork()
        if pid == 0:
            try:
                if trains:
                    train(2)
            except BaseException:
                traceback.print_exc()
                os._exit(1)
            os._exit(0)
        for _ in range(3000):  # 30 s
            finished, status = os.waitpid(pid, os.WNOHANG)
            if finished:
                break
            time.sleep(0.01)
        else:
            os.kill(pid, 9)
        outcomes.append(status if finished else "hung")

forker = threading.Thread(target=fork_repeatedly)
forker.start()
train(25)
done.set()
forker.join()
print("forks", len(outcomes), "failed children", sum(o != 0 for o in outcomes), flush=True)
"""


def run_trial(seed):
    """A FORK_TRIAL's failure, or None."""
    try:
        result = subprocess.run([sys.executable, "-c", FORK_TRIAL, str(seed)],
                                capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return (seed, "hung")
    if result.returncode != 0 or "failed children 0\n" not in result.stdout:
        return (seed, result.returncode, result.stdout[-200:], result.stderr[-500:])
    return None


def test_forks_from_another_thread_during_training_never_hang():
    # Two trials at a time: the hang needs no idle core to show.
    with ThreadPoolExecutor(2) as trials:
        assert [f for f in trials.map(run_trial, range(20)) if f] == []


CAP_TRIAL = TRAINING + """
def product_cpu_ns():
    total = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm, \
                    open(f"/proc/self/task/{task}/schedstat") as stat:
                if comm.read().strip() == "kemb-product":
                    total += int(stat.read().split()[0])
        except FileNotFoundError:
            pass
    return total

def cpu_of_training():
    before = product_cpu_ns()
    train(5)
    return product_cpu_ns() - before

if sys.argv[2] == "threadpoolctl":  # else OPENBLAS_NUM_THREADS=1 in the environment
    from threadpoolctl import threadpool_limits
    with threadpool_limits(limits=1):
        capped = cpu_of_training()
print("capped", cpu_of_training() if sys.argv[2] != "threadpoolctl" else capped,
      "free", cpu_of_training() if sys.argv[2] == "threadpoolctl" else None, flush=True)
"""


@pytest.mark.skipif(os.cpu_count() < 2, reason="one core: products never split")
@pytest.mark.parametrize("control", ["threadpoolctl", "OPENBLAS_NUM_THREADS"])
def test_thread_controls_cap_the_products(control):
    env = {**os.environ, **({control: "1"} if control == "OPENBLAS_NUM_THREADS" else {})}
    result = subprocess.run([sys.executable, "-c", CAP_TRIAL, "0", control],
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    words = result.stdout.splitlines()[-1].split()
    # Capped at one thread, kemb's product threads never ran; freed, they do.
    assert words[1] == "0" and (control != "threadpoolctl" or int(words[3]) > 0)


def test_concurrent_training_calls_are_independent(tmp_path, monkeypatch):
    # Each call on a new thread draws from that thread's generator, seeded by
    # KEMB_SEED: two at once must save what one alone saves.
    monkeypatch.setenv("KEMB_SEED", "77")
    rng = np.random.default_rng(2)
    x = rng.normal(size=(64, 8)).astype(np.float32)
    labels = rng.integers(0, 3, size=64).astype(np.int32)

    def train(name):
        model = kemb.create_categorical_model("softmax", str(tmp_path / name))
        model = kemb.add_categorical_model_layer(model, 8, 16, "dense", "relu")
        model = kemb.add_categorical_model_layer(model, 0, 0, "dropout", None, 0.25)
        model = kemb.add_categorical_model_layer(model, 16, 3, "dense")
        kemb.train_categorical_model(model, kemb.create_optimizer("adam", 0.01, 0.001), 40, 100,
                                     x, labels, np.zeros((0, 0), np.float32), labels)

    def document(name):  # each file names its own path last
        text = (tmp_path / name).read_bytes()
        return text[:text.rindex(b'"save_best_params":')]

    for names in (["alone"], ["0", "1", "2"]):
        threads = [threading.Thread(target=train, args=(name,)) for name in names]
        [t.start() for t in threads]
        [t.join() for t in threads]
    assert all(document(name) == document("alone") for name in "012")
