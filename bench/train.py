"""Per-epoch wall time of full-batch training: kemb (saving off, saving on
to the disk and to a tmpfs), PyTorch, plain NumPy and the raw sgemm bound of
the epoch's products. Every repeat runs all of them one after the other, so
the ratios compare runs made side by side; the report gives medians.

kemb takes OpenBLAS's thread count as its cap, so every bound run gives the
count back as it found it; each kemb call checks that count first, and each
case checks kemb's product threads after its warm-up: a run on fewer threads
than meant fails instead of being timed.

    python bench/train.py [--cases digits mnist regression] [--repeats 5]
                          [--out bench/results/train.json]
"""

import argparse
import json
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

# Epochs per timed call: enough that the call's fixed costs (argument
# conversion, copies, the last save) weigh little, yet a run stays short.
EPOCHS = {"digits": 500, "mnist": 20, "regression": 100}


def save_dirs(root):
    """A directory on the file system of the repository, and a tmpfs."""
    dirs = {"disk": tempfile.mkdtemp(prefix="kemb-bench-", dir=root)}
    if os.path.isdir("/dev/shm"):
        dirs["tmpfs"] = tempfile.mkdtemp(prefix="kemb-bench-", dir="/dev/shm")
    return dirs


def check_pool(case):
    """Fails unless kemb split this case's products over the threads it was
    meant to have, once its products are large enough to split."""
    if case.samples * case.features * case.hidden < KEMB_THREADED_WORK:
        return
    workers, wanted = common.product_workers(), common.STARTED_THREADS - 1
    if workers != wanted:
        raise RuntimeError(f"kemb ran {case.name} with {workers} product workers beside the "
                           f"calling thread, not {wanted}")


# The size of product (multiply-adds) from which kemb splits it over threads.
KEMB_THREADED_WORK = 1 << 23


def measure_case(case, repeats, dirs, lib):
    x, y = common.make_data(case)
    epochs = EPOCHS.get(case.name, 10)
    runs = {"kemb": lambda: common.kemb_run(case, x, y, epochs)}
    for where, d in dirs.items():
        path = os.path.join(d, f"{case.name}.json")
        runs[f"kemb_save_{where}"] = lambda path=path: common.kemb_run(case, x, y, epochs, path)
    runs["torch"] = lambda: common.torch_run(case, x, y, epochs)
    runs["numpy"] = lambda: common.numpy_run(case, x, y, epochs)
    runs["sgemm"] = lambda: common.sgemm_run(case, x, epochs, lib)
    runs["sgemm_1t"] = lambda: common.sgemm_run(case, x, epochs, lib, threads=1)
    for run in runs.values():  # warm-up: page faults, thread start, library loading
        run()
    check_pool(case)
    seconds = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            seconds[name].append(run() / epochs)
    medians = {k: common.median(v) for k, v in seconds.items()}
    # The bound is the faster of one thread and all threads.
    medians["sgemm_bound"] = min(medians["sgemm"], medians["sgemm_1t"])
    result = {"epochs": epochs, "samples": case.samples, "features": case.features,
              "hidden": case.hidden, "outputs": case.outputs,
              "ms_per_epoch": {k: 1e3 * v for k, v in medians.items()},
              "all_ms": {k: [1e3 * s for s in v] for k, v in seconds.items()}}
    for where in dirs:
        path = os.path.join(dirs[where], f"{case.name}.json")
        result[f"file_bytes_{where}"] = os.path.getsize(path) if os.path.exists(path) else 0
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cases", nargs="+", default=list(common.CASES))
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--out", default="bench/results/train.json")
    args = parser.parse_args()
    lib = common.openblas()  # before any training changes the thread count
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    dirs = save_dirs(os.path.dirname(os.path.abspath(args.out)))
    results = {"environment": common.environment(), "cases": {}}
    results["environment"]["kemb_threads"] = common.STARTED_THREADS
    try:
        for name in args.cases:
            results["cases"][name] = measure_case(common.CASES[name], args.repeats, dirs, lib)
            print(name, json.dumps(results["cases"][name]["ms_per_epoch"]), flush=True)
    finally:
        for d in dirs.values():
            shutil.rmtree(d, ignore_errors=True)
    results["load_average_after"] = os.getloadavg()
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
