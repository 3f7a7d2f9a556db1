"""Crash safety of saves: a training child killed with SIGKILL leaves the
model path empty or holding a complete document, and at most the two
temporary files of the killed saves (being written and queued) (crash_safety.py says what is checked;
crash_campaign.py runs hundreds of trials)."""

import os

import numpy as np
import pytest

import kemb
from crash_safety import kill_trial

# Before any save, early in the saves, and later (several saves done).
DELAYS = [0.0, 0.15, 0.4, 0.9]


@pytest.mark.parametrize("kind", ["categorical", "linear"])
@pytest.mark.parametrize("delay", DELAYS)
def test_a_killed_training_leaves_a_loadable_file_or_none(tmp_path, kind, delay):
    outcome = kill_trial(str(tmp_path), kind, seed=int(delay * 100), delay=delay)
    assert outcome in ("none", "complete", "none+leftover", "complete+leftover")


def test_a_leftover_temporary_file_does_not_disturb_the_next_save(tmp_path):
    leftover = tmp_path / ".model.json.kemb-tmp-999999999-0123456789abcdef"
    leftover.write_text('{"layers":[')
    # Separable classes: the loss falls from the first update on.
    x = np.array([[1, 0], [0, 1], [1, 0], [0, 1]], np.float32)
    y = np.array([0, 1, 0, 1], np.int32)
    model = kemb.create_categorical_model("softmax", str(tmp_path / "model.json"))
    model = kemb.add_categorical_model_layer(model, 2, 2, "dense")
    kemb.train_categorical_model(model, kemb.create_optimizer("sgd", 0.5, 0.0), 5, 10, x, y,
                                 np.zeros((0, 0), np.float32), y)
    kemb.load_categorical_model(str(tmp_path / "model.json"))
    assert sorted(os.listdir(tmp_path)) == [leftover.name, "model.json"]
