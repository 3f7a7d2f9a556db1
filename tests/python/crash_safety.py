"""Kill trials for the crash safety of saves, shared by test_crash_safety.py
(a few trials) and crash_campaign.py (hundreds).

A trial starts a child that trains with saving on, kills it with SIGKILL
after a random delay and inspects the directory. The model path must then
hold nothing (killed before the first save) or a complete document that
loads. The only other files allowed are the temporary files of the killed
saves: the one being written and the one queued behind it, each named
.<target name>.kemb-tmp-<pid>-<16 hex digits> with the child's pid, which
tells a cleanup that no running process owns them."""

import os
import re
import signal
import subprocess
import sys
import time

import kemb

CHILD = """
import sys
import numpy as np
import kemb

# Saves of about 4 MB (the cached 2000 x 200 input) against a few
# milliseconds of compute: most of an epoch is spent saving, so kills land
# in all phases of a save.
kind = sys.argv[1]
rng = np.random.default_rng(int(sys.argv[2]))
x = rng.normal(size=(2000, 200)).astype(np.float32)
none = np.zeros((0, 0), np.float32)
opt = kemb.create_optimizer("adam", 0.001, 0.0)
if kind == "categorical":
    y = rng.integers(0, 10, size=2000).astype(np.int32)
    model = kemb.create_categorical_model("softmax", "model.json")
    model = kemb.add_categorical_model_layer(model, 200, 32, "dense", "relu")
    model = kemb.add_categorical_model_layer(model, 32, 10, "dense")
    train = kemb.train_categorical_model
else:
    y = rng.normal(size=2000).astype(np.float32)
    model = kemb.create_linear_model("linear", "model.json")
    model = kemb.add_linear_model_layer(model, 200, 32, "dense", "relu")
    model = kemb.add_linear_model_layer(model, 32, 1, "dense")
    train = kemb.train_linear_model
print("ready", flush=True)
train(model, opt, 65535, 1, x, y, none, y)
"""

TEMPORARY = re.compile(r"^\.model\.json\.kemb-tmp-(\d+)-[0-9a-f]{16}$")


def kill_trial(directory, kind, seed, delay):
    """One trial; returns "none", "complete" or "complete+leftover" /
    "none+leftover", or raises AssertionError with what went wrong."""
    script = os.path.join(directory, "child.py")
    with open(script, "w") as f:
        f.write(CHILD)
    child = subprocess.Popen([sys.executable, script, kind, str(seed)], cwd=directory,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n", child.stderr.read()
    time.sleep(delay)
    child.send_signal(signal.SIGKILL)
    child.communicate()
    assert child.returncode == -signal.SIGKILL, (child.returncode, child.stderr)

    names = sorted(set(os.listdir(directory)) - {"child.py"})
    leftovers = [n for n in names if TEMPORARY.match(n)]
    assert len(leftovers) <= 2, names
    for name in leftovers:
        assert int(TEMPORARY.match(name).group(1)) == child.pid, name
    assert set(names) - set(leftovers) <= {"model.json"}, names
    outcome = "none"
    if "model.json" in names:
        load = kemb.load_categorical_model if kind == "categorical" else kemb.load_linear_model
        load(os.path.join(directory, "model.json"))  # a complete document, or PanicException
        outcome = "complete"
    return outcome + ("+leftover" if leftovers else "")
