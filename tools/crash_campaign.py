"""Crash campaign for saves: many SIGKILL trials (the kill trial of
tests/python/test_crash_safety.py), alternating model kinds, kill delays
spread over the first 1.2 s of training.

    python tools/crash_campaign.py [TRIALS]   (default 200)

Prints the count of each outcome; exits 1 on the first violated trial."""

import collections
import pathlib
import random
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from test_crash_safety import kill_trial  # noqa: E402


def main():
    trials = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    rng = random.Random(2026)
    outcomes = collections.Counter()
    for i in range(trials):
        kind = ("categorical", "linear")[i % 2]
        delay = rng.uniform(0.0, 1.2)
        with tempfile.TemporaryDirectory() as directory:
            try:
                outcomes[kill_trial(directory, kind, i, delay)] += 1
            except AssertionError as error:
                print(f"trial {i} ({kind}, killed after {delay:.3f} s) failed: {error}")
                return 1
    print(f"{trials} trials, all safe: " +
          ", ".join(f"{name} {count}" for name, count in sorted(outcomes.items())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
