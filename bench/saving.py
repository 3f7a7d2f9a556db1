"""What saving costs a whole training call: the same call with saving off and
with saving on, run in turn, so that each ratio compares two neighbours in
time. No validation set, Adam, 784-128 relu and 128-10 softmax on pixel-like
inputs (bench/common.py); every epoch from the second is a new best, so the
save rule fires in each of them and the call returns once the last save is
on disk.

    python bench/saving.py [--calls 20000x2 20000x5 20000x20 60000x20]
                           [--repeats 5] [--dir DIRECTORY]
                           [--out bench/results/saving.json]

The model file goes to DIRECTORY (default: a directory next to the results,
on the repository's file system).
"""

import argparse
import json
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402


def parse_call(text):
    samples, epochs = (int(part) for part in text.split("x"))
    return samples, epochs


def measure(samples, epochs, repeats, directory):
    case = common.CASES["mnist"].with_samples(samples)
    x, y = common.make_data(case)
    path = os.path.join(directory, f"{case.name}.json")
    common.kemb_run(case, x, y, epochs)  # warm-up: page faults, thread start
    common.kemb_run(case, x, y, epochs, path)
    off, on, ratios = [], [], []
    for _ in range(repeats):
        a = common.kemb_run(case, x, y, epochs)
        b = common.kemb_run(case, x, y, epochs, path)
        off.append(a)
        on.append(b)
        ratios.append(b / a)
    return {"samples": samples, "epochs": epochs, "file_bytes": os.path.getsize(path),
            "off_s": common.median(off), "on_s": common.median(on),
            "on_over_off": common.median(ratios), "all_off_s": off, "all_on_s": on}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", nargs="+", default=["20000x2", "20000x5", "20000x20",
                                                       "60000x20"])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--out", default="bench/results/saving.json")
    args = parser.parse_args()
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    own_dir = args.dir is None
    directory = args.dir or tempfile.mkdtemp(
        prefix="kemb-saving-", dir=os.path.dirname(os.path.abspath(args.out)))
    results = {"environment": common.environment(), "directory": directory, "calls": []}
    try:
        for call in args.calls:
            row = measure(*parse_call(call), args.repeats, directory)
            results["calls"].append(row)
            print(f"{row['samples']} x 784, {row['epochs']} epochs: off {row['off_s']:.3f} s, "
                  f"on {row['on_s']:.3f} s, on / off {row['on_over_off']:.2f} "
                  f"({row['file_bytes'] / 1e6:.0f} MB file)", flush=True)
    finally:
        if own_dir:
            shutil.rmtree(directory, ignore_errors=True)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
