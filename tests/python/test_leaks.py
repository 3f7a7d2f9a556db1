"""No leaks through the module: every function, succeeding and failing, called
thousands of times in a child leaves resident memory, the tracemalloc total, open
descriptors and its arguments' reference counts where they were after a warm-up. With
96 x 96 weights a leaked record or array copy per call adds over 50 MiB."""

import json
import os
import subprocess
import sys

ITERATIONS = 2000
WARM_UP = 300
RSS_BOUND = 8 << 20
TRACEMALLOC_BOUND = 64 << 10

CHILD = """
import gc, json, os, sys, tracemalloc
import numpy as np
import kemb

os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # evaluation reports
F = np.float32
rng = np.random.default_rng(3)
x = rng.normal(size=(8, 96)).astype(F)
y = rng.normal(size=8).astype(F)
labels = (np.arange(8) % 3).astype(np.int32)
none = np.zeros((0, 0), F)
tmp = sys.argv[1]
saved_linear, saved_categorical = (os.path.join(tmp, n) for n in ("linear.json", "cat.json"))

linear = kemb.create_linear_model("linear", saved_linear)
linear = kemb.add_linear_model_layer(linear, 96, 96, "dense", "relu")
linear = kemb.add_linear_model_layer(linear, 96, 1, "dense")
categorical = kemb.create_categorical_model("softmax", saved_categorical)
categorical = kemb.add_categorical_model_layer(categorical, 96, 96, "dense", "relu")
categorical = kemb.add_categorical_model_layer(categorical, 0, 0, "dropout", None, 0.1)
categorical = kemb.add_categorical_model_layer(categorical, 96, 3, "dense")
missing_dir = kemb.create_linear_model("linear", os.path.join(tmp, "no", "such", "dir.json"))
missing_dir = kemb.add_linear_model_layer(missing_dir, 96, 1, "dense")
sgd = kemb.create_optimizer("sgd", 0.01, 0.0)
adam = kemb.create_optimizer("adam", 0.001, 0.001)
kemb.train_linear_model(linear, sgd, 3, 10, x, y, none, y)
kemb.train_categorical_model(categorical, adam, 3, 10, x, labels, x, labels)
loaded_linear = kemb.load_linear_model(saved_linear)
loaded_categorical = kemb.load_categorical_model(saved_categorical)

# Fresh objects as arguments (no cached small ints, no interned texts), so
# that their reference counts belong to this test alone.
n300 = int("300")
dense, relu = "den" + "se", "re" + "lu"
CALLS = [
    # (function, positional arguments, keyword arguments, expected exception)
    (kemb.create_linear_model, ("linear", "m.json"), {}, None),
    (kemb.create_categorical_model, ("softmax", b"bytes"), {}, TypeError),
    (kemb.add_linear_model_layer, (linear,), {"n_inputs": n300, "layer_type": dense}, None),
    (kemb.add_linear_model_layer, (linear, -1), {}, OverflowError),
    (kemb.add_categorical_model_layer, (categorical, n300, n300, dense, relu, 0.5), {}, None),
    (kemb.add_categorical_model_layer, (categorical,), {"nope": 1}, TypeError),
    (kemb.create_optimizer, ("adam", 0.001, 0.0), {}, None),
    (kemb.train_linear_model, (linear, sgd, 2, 1, x, y, none, y), {}, None),
    (kemb.train_linear_model, (linear, sgd, 2, 1, x.astype(np.float64), y, none, y), {}, TypeError),
    (kemb.train_linear_model, (linear, sgd, 2, 1, x[:, :5], y, none, y), {}, "ndarray: inputs"),
    (kemb.train_linear_model, (missing_dir, sgd, 3, 1, x, y, none, y), {}, "called `Result"),
    (kemb.train_categorical_model, (categorical, adam, 2, 1, x, labels, x, labels), {}, None),
    (kemb.train_categorical_model, (categorical, adam, 2, 1, x, y, x, labels), {}, TypeError),
    (kemb.load_linear_model, (saved_linear,), {}, None),
    (kemb.load_linear_model, (saved_categorical,), {}, "called `Result"),
    (kemb.load_categorical_model, (saved_categorical,), {}, None),
    (kemb.evaluate_linear_model, (loaded_linear, x, y), {}, None),
    (kemb.evaluate_categorical_model, (loaded_categorical, x, labels), {}, None),
    (kemb.evaluate_categorical_model, (loaded_categorical, x, labels[:2]), {},
     "index out of bounds"),
]

def call(function, args, kwargs, expected):
    # The exception is checked inside its handler: kept beyond it, its
    # traceback would hold the arguments until the next collection.
    try:
        function(*args, **kwargs)
    except BaseException as error:
        if isinstance(expected, str):
            assert type(error).__name__ == "PanicException", error
            assert error.args[0].startswith(expected), error
        else:
            assert expected is not None and isinstance(error, expected), error
        return
    assert expected is None, f"{function.__name__}: no {expected}"

# Reference counts of the arguments. Shared singletons and cached small ints
# are referenced from everywhere, so their counts say nothing about one call.
def refcounts(args, kwargs):
    def shared(a):
        return a is None or type(a) is bool or (type(a) is int and -5 <= a <= 256)
    return [None if shared(a) else sys.getrefcount(a) for a in (*args, *kwargs.values())]

def one_round(check_refcounts):
    for function, args, kwargs, expected in CALLS:
        before = refcounts(args, kwargs)
        call(function, args, kwargs, expected)
        if check_refcounts:
            assert refcounts(args, kwargs) == before, (function.__name__, args)

def usage():  # resident bytes, traced bytes, open descriptors
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return rss, tracemalloc.get_traced_memory()[0], len(os.listdir("/proc/self/fd"))

tracemalloc.start()
warm_up, iterations = int(sys.argv[2]), int(sys.argv[3])
for _ in range(warm_up):
    one_round(check_refcounts=True)
gc.collect()
before = usage()
for _ in range(iterations):
    one_round(check_refcounts=False)
gc.collect()
print(json.dumps([len(CALLS), *(a - b for a, b in zip(usage(), before))]), file=sys.stderr)
"""


def test_memory_and_reference_counts_stay_flat(tmp_path):
    script = tmp_path / "leak_child.py"
    script.write_text(CHILD)
    env = dict(os.environ)
    if "libasan" in env.get("LD_PRELOAD", ""):
        # Under AddressSanitizer freed blocks wait in a quarantine of up to
        # 256 MiB, which would read as growth: the child runs without one.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
    result = subprocess.run(
        [sys.executable, str(script), str(tmp_path), str(WARM_UP), str(ITERATIONS)],
        capture_output=True, text=True, timeout=1800, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    calls, rss, traced, fds = json.loads(result.stderr.strip().splitlines()[-1])
    assert calls == 19
    assert rss < RSS_BOUND and traced < TRACEMALLOC_BOUND and fds == 0, (rss, traced, fds)
