"""Training calls on several threads: per-thread generators and per-call
copies keep concurrent calls independent. (Ctrl-C, the released interpreter
lock and a busy thread beside a call are covered by test_hostile.py.)"""

import os
import subprocess
import sys

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
