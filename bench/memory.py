"""Peak resident memory of one training call against the size of its data
and model. Each configuration runs in a fresh process (the peak is per
process); the report compares the growth of the peak during the call, and
the whole peak, with data + model.

data  = the input matrix and the targets as passed in
model = every array of the trained model record (weights, biases,
        gradients, optimizer state, and the caches: the first layer's
        inputs is the whole training set)

    python bench/memory.py [--cases mnist] [--out bench/results/memory.json]
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

EPOCHS = 5


def model_bytes(case):
    n, f, h, c = case.samples, case.features, case.hidden, case.outputs
    per_layer = lambda i, o: 4 * (4 * i * o + 6 * o)  # W, dW, 2 states; b, db, 2 states
    caches = 4 * (n * f + n * h + n * h)  # inputs of both layers, pre-rectifier output
    return per_layer(f, h) + per_layer(h, c) + caches


def child(name, save):
    case = common.CASES[name]
    import kemb  # noqa: F401
    x, y = common.make_data(case)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    path = ""
    if save:
        path = os.path.join(tempfile.mkdtemp(dir="/dev/shm" if save == "tmpfs" else None),
                            "m.json")
    seconds = common.kemb_run(case, x, y, EPOCHS, path)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    if path:
        os.unlink(path)
        os.rmdir(os.path.dirname(path))
    data = x.nbytes + y.nbytes
    print(json.dumps({"case": name, "save": save or "off", "seconds": seconds,
                      "rss_before": before, "rss_peak": peak, "data": data,
                      "model": model_bytes(case)}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cases", nargs="+", default=["mnist"])
    parser.add_argument("--out", default="bench/results/memory.json")
    parser.add_argument("--child", nargs=2)
    args = parser.parse_args()
    if args.child:
        return child(args.child[0], "" if args.child[1] == "off" else args.child[1])
    rows = []
    for name in args.cases:
        for save in ("off", "disk", "tmpfs"):
            out = subprocess.run([sys.executable, __file__, "--child", name, save],
                                 check=True, capture_output=True, text=True).stdout
            row = json.loads(out.strip().splitlines()[-1])
            base = row["data"] + row["model"]
            row["peak_over_data_model"] = row["rss_peak"] / base
            row["growth_over_data_model"] = (row["rss_peak"] - row["rss_before"]) / base
            rows.append(row)
            print(json.dumps(row), flush=True)
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    with open(args.out, "w") as f:
        json.dump({"environment": common.environment(), "rows": rows}, f, indent=1)


if __name__ == "__main__":
    main()
