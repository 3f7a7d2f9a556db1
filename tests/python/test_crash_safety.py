"""Crash safety of saves: a training child killed with SIGKILL leaves the model path holding
nothing or a complete document that loads, beside at most the temporary files of the saves it
was writing and queueing, named .<target>.kemb-tmp-<child pid>-<16 hex digits>.
(tools/crash_campaign.py runs hundreds of these trials.)"""

import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import kemb
from conftest import NONE

CHILD = """
import sys
import numpy as np
import kemb

# Saves of 4 MB (the cached 2000 x 200 input) against milliseconds of
# compute: kills land in all phases of a save.
kind = sys.argv[1]
rng = np.random.default_rng(int(sys.argv[2]))
x = rng.normal(size=(2000, 200)).astype(np.float32)
if kind == "categorical":
    y = rng.integers(0, 10, size=2000).astype(np.int32)
else:
    y = rng.normal(size=2000).astype(np.float32)
model = getattr(kemb, f"create_{kind}_model")("softmax" if kind == "categorical" else "linear",
                                              "model.json")
add = getattr(kemb, f"add_{kind}_model_layer")
model = add(add(model, 200, 32, "dense", "relu"), 32, 10 if kind == "categorical" else 1, "dense")
print("ready", flush=True)
getattr(kemb, f"train_{kind}_model")(model, kemb.create_optimizer("adam", 0.001, 0.0), 65535, 1,
                                     x, y, np.zeros((0, 0), np.float32), y)
"""
TEMPORARY = re.compile(r"^\.model\.json\.kemb-tmp-(\d+)-[0-9a-f]{16}$")


def kill_trial(directory, kind, seed, delay):
    """One trial; returns "none" or "complete", with "+leftover" when a
    temporary file stayed, or raises AssertionError with what went wrong."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, kind, str(seed)], cwd=directory,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n", child.stderr.read()
    time.sleep(delay)
    child.send_signal(signal.SIGKILL)
    child.communicate()
    assert child.returncode == -signal.SIGKILL, (child.returncode, child.stderr)
    names = sorted(os.listdir(directory))
    leftovers = [n for n in names if TEMPORARY.match(n)]
    assert len(leftovers) <= 2, names
    assert all(int(TEMPORARY.match(name).group(1)) == child.pid for name in leftovers), names
    assert set(names) - set(leftovers) <= {"model.json"}, names
    if "model.json" in names:  # a complete document, or PanicException
        getattr(kemb, f"load_{kind}_model")(os.path.join(directory, "model.json"))
    return ("complete" if "model.json" in names else "none") + ("+leftover" if leftovers else "")


@pytest.mark.parametrize("kind", ["categorical", "linear"])
@pytest.mark.parametrize("delay", [0.0, 0.15, 0.4, 0.9])  # before, early in and after saves
def test_a_killed_training_leaves_a_loadable_file_or_none(tmp_path, kind, delay):
    kill_trial(str(tmp_path), kind, seed=int(delay * 100), delay=delay)


def test_a_leftover_temporary_file_does_not_disturb_the_next_save(tmp_path):
    leftover = tmp_path / ".model.json.kemb-tmp-999999999-0123456789abcdef"
    leftover.write_text('{"layers":[')
    # Separable classes: the loss falls from the first update on.
    x, y = np.tile(np.eye(2, dtype=np.float32), (2, 1)), np.array([0, 1, 0, 1], np.int32)
    model = kemb.create_categorical_model("softmax", str(tmp_path / "model.json"))
    model = kemb.add_categorical_model_layer(model, 2, 2, "dense")
    kemb.train_categorical_model(model, kemb.create_optimizer("sgd", 0.5, 0.0), 5, 10, x, y, NONE, y)
    kemb.load_categorical_model(str(tmp_path / "model.json"))
    assert sorted(os.listdir(tmp_path)) == [leftover.name, "model.json"]
