r"""What one hostile token in a model file costs a load: the length of the
error message, the growth of the peak resident memory (ru_maxrss, in a
fresh child per file) and the time, for three files of one 10^8-byte token
each: the digits of a `dim` entry, a string where a float is expected, and
an unknown key of an array object. (A message of 100 MB is also written to
standard error with the panic report; the child's is captured.) With several --python interpreters
(kemb builds to compare), their runs alternate.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \
        .venv/bin/python bench/hostile_token.py [--size BYTES] [--runs N] [--python PY]...
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

FILES = {
    "digits in dim": ('{"layers":[{"weights":{"v":1,"dim":[', "9", "]}}]}"),
    "string for a float": ('{"acc_precision":"', "a", '"}'),
    "unknown array key": ('{"layers":[{"weights":{"', "k", '":1}}]}'),
}

# The peak resident set comes from VmHWM, in KiB: getrusage's ru_maxrss
# starts from the parent's peak (it survives exec), which would hide a
# child's growth below it.
CHILD = r"""
import sys, time
import kemb


def peak_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


before = peak_kib()
start = time.monotonic()
try:
    kemb.load_linear_model(sys.argv[1])
    message = ""
except BaseException as error:
    message = str(error.args[0]) if error.args else ""
seconds = time.monotonic() - start
peak = peak_kib()
print(len(message), peak - before, peak, f"{seconds:.3f}")
"""


def write_file(path, head, filler, tail, size):
    with open(path, "w") as f:
        f.write(head)
        block = filler * (1 << 20)
        for _ in range(size >> 20):
            f.write(block)
        f.write(filler * (size & ((1 << 20) - 1)))
        f.write(tail)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=100_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--python", action="append")
    args = parser.parse_args()
    pythons = args.python or [sys.executable]
    print(f"one token of {args.size} bytes; medians of {args.runs} runs")
    print("| file | build | message (bytes) | peak RSS (MiB) | growth over the peak before "
          "the load (MiB) | seconds |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "hostile.json")
        for name, (head, filler, tail) in FILES.items():
            write_file(path, head, filler, tail, args.size)
            rows = {python: [] for python in pythons}
            for _ in range(args.runs):
                for python in pythons:
                    # The 100 MB message goes to standard error as well.
                    out = subprocess.run([python, "-c", CHILD, path], capture_output=True,
                                         text=True, check=True).stdout.split()
                    rows[python].append(
                        (int(out[0]), int(out[2]) / 1024, int(out[1]) / 1024, float(out[3])))
            for python, runs in rows.items():
                median = lambda i: statistics.median(r[i] for r in runs)
                print(f"| {name} | {pythons.index(python)} | {median(0):.0f} | {median(1):.1f} | "
                      f"{median(2):.1f} | {median(3):.3f} |", flush=True)


if __name__ == "__main__":
    main()
