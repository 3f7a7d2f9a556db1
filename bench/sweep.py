"""Scaling sweep: per-epoch time against the number of samples at 784
features (784-128 relu, 128-10 softmax), for kemb with saving off, kemb
saving to the disk and to a tmpfs, and PyTorch. Runs of one size are made
side by side; medians over the repeats.

    python bench/sweep.py [--sizes 1000 2000 ...] [--repeats 3]
                          [--out bench/results/sweep.json]
"""

import argparse
import json
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from train import save_dirs  # noqa: E402

SIZES = [1000, 2000, 5000, 10000, 20000, 40000, 60000]
EPOCHS = 10


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=SIZES)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", default="bench/results/sweep.json")
    args = parser.parse_args()
    common.openblas()  # notes OpenBLAS's thread count before training changes it
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    dirs = save_dirs(os.path.dirname(os.path.abspath(args.out)))
    rows = []
    try:
        for n in args.sizes:
            case = common.CASES["mnist"].with_samples(n)
            x, y = common.make_data(case)
            runs = {"kemb": lambda: common.kemb_run(case, x, y, EPOCHS)}
            for where, d in dirs.items():
                path = os.path.join(d, "sweep.json")
                runs[f"kemb_save_{where}"] = (
                    lambda path=path: common.kemb_run(case, x, y, EPOCHS, path))
            runs["torch"] = lambda: common.torch_run(case, x, y, EPOCHS)
            for run in runs.values():
                run()
            seconds = {name: [] for name in runs}
            for _ in range(args.repeats):
                for name, run in runs.items():
                    seconds[name].append(run() / EPOCHS)
            row = {"samples": n, **{k: 1e3 * common.median(v) for k, v in seconds.items()}}
            rows.append(row)
            print(json.dumps(row), flush=True)
    finally:
        for d in dirs.values():
            shutil.rmtree(d, ignore_errors=True)
    with open(args.out, "w") as f:
        json.dump({"environment": common.environment(), "epochs": EPOCHS, "rows": rows}, f,
                  indent=1)


if __name__ == "__main__":
    main()
