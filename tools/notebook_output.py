"""Where kemb's progress lines go in a Jupyter kernel, and when they arrive.

kemb writes to file descriptor 1, not to sys.stdout. Whether a notebook shows
those lines depends on the kernel: ipykernel 6 and later can redirect the
descriptor into a pipe that a thread forwards to the cell. This script starts
a kernel of the running interpreter (with the ipykernel installed here), runs
one cell that trains for a few seconds and then evaluates 2000 samples (a
burst of lines just before the cell ends), and prints which lines reached
the cell's output, when they arrived relative to the cell's end, and what
went to the kernel's own standard output instead. Run it in any environment that has
kemb, numpy and jupyter_client:
    python tools/notebook_output.py [--wurlitzer]
With --wurlitzer the kernel first loads wurlitzer's IPython extension, which
forwards the descriptor to sys.stdout in kernels that do not.
"""

import os
import queue
import sys
import tempfile
import time
from importlib.metadata import version

from jupyter_client.manager import KernelManager

# Seconds of training at 2 cores: long enough to see whether lines arrive
# while the cell runs or only when it ends.
CELL = """
import numpy as np
import kemb
rng = np.random.default_rng(0)
x = rng.standard_normal((10000, 128), dtype=np.float32)
y = rng.integers(0, 10, 10000, dtype=np.int32)
opt = kemb.create_optimizer("adam", 0.001, 0.0)
model = kemb.create_categorical_model("softmax", "best.json")
model = kemb.add_categorical_model_layer(model, 128, 128, "dense", "relu")
model = kemb.add_categorical_model_layer(model, 128, 10, "dense")
kemb.train_categorical_model(model, opt, 100, 10, x, y, np.zeros((0, 0), np.float32), y)
kemb.evaluate_categorical_model(kemb.load_categorical_model("best.json"), x[:2000], y[:2000])
"""
LINES = 10 + 2000 + 1  # progress, sample and summary lines


def main() -> None:
    # ipykernel leaves the descriptors alone when it believes pytest runs it.
    env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
    with tempfile.TemporaryFile("w+") as kernel_stdout, tempfile.TemporaryDirectory() as cwd:
        manager = KernelManager(kernel_name="python3")
        manager.start_kernel(env=env, stdout=kernel_stdout, cwd=cwd)
        client = manager.client()
        client.start_channels()
        client.wait_for_ready(timeout=60)
        if "--wurlitzer" in sys.argv[1:]:
            client.execute_interactive("%load_ext wurlitzer", timeout=60)
        start = time.monotonic()
        request = client.execute(CELL)
        arrivals: list[tuple[float, str]] = []
        end = None
        # Lines of the cell that come after its end are counted for 3 s more.
        while end is None or time.monotonic() - start < end + 3.0:
            try:
                message = client.get_iopub_msg(timeout=120 if end is None else 0.5)
            except queue.Empty:
                continue
            if message["parent_header"].get("msg_id") != request:
                continue
            content = message["content"]
            if message["msg_type"] == "stream":
                for line in content["text"].splitlines():
                    arrivals.append((time.monotonic() - start, line))
            elif message["msg_type"] == "status" and content["execution_state"] == "idle":
                end = time.monotonic() - start
        client.stop_channels()
        manager.shutdown_kernel(now=True)
        kernel_stdout.seek(0)
        terminal = kernel_stdout.read().splitlines()

    progress = [t for t, line in arrivals if line.startswith("epoch")]
    late = [line for t, line in arrivals if t > end]
    print(f"ipykernel {version('ipykernel')}, jupyter_client {version('jupyter_client')}")
    print(f"cell ran {end:.2f} s; {len(arrivals) - len(late)} of {LINES} lines arrived "
          f"before its end, {len(late)} after it")
    if progress:
        print(f"progress lines: {len(progress)} of 10, the first at {progress[0]:.2f} s, "
              f"the last at {progress[-1]:.2f} s")
    if late:
        print(f"first late line: {late[0]!r}")
    print(f"{len(terminal)} lines on the kernel's own standard output")


if __name__ == "__main__":
    main()
