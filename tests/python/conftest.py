"""Shared helpers for the module tests.

kemb prints to the process's standard output (file descriptor 1), not to
sys.stdout: in-process tests read it with capfd, and whatever needs its own
process (KEMB_SEED, signals, a broken descriptor) runs a child."""

import os
import subprocess
import sys
import textwrap

import numpy as np

F = np.float32
NONE = np.zeros((0, 0), F)  # a validation set of 0 x 0 skips validation


def outcome(call):
    """"ok", or the type and message of what the call raised (PanicException
    derives from BaseException)."""
    try:
        call()
        return "ok"
    except BaseException as error:
        return f"{type(error).__name__}: {error}"


def run_script(code, *, env=None, cwd=None, timeout=600):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env={**os.environ, **(env or {})}, cwd=cwd, timeout=timeout)


PRELUDE = """
import sys
import numpy as np
import kemb
try:
    data = dict(np.load({npz!r}))
except FileNotFoundError:
    data = {{}}


def guarded(call, *args):
    # A PanicException ends the child with its message on stderr.
    try:
        return call(*args)
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        print("PANIC " + error.args[0], file=sys.stderr, flush=True)
        sys.exit(3)
"""


def run_kemb(tmp_path, code, env=None, **arrays):
    """Runs `code` in a child with `kemb`, `np`, `guarded` and the given
    arrays (as `data[name]`) at hand; returns the completed process."""
    npz = str(tmp_path / "arrays.npz")
    if arrays:
        np.savez(npz, **arrays)
    return run_script(PRELUDE.format(npz=npz) + textwrap.dedent(code), env=env, cwd=tmp_path)


def panic_message(result):
    """The message of the PanicException that ended a child run by `guarded`."""
    assert result.returncode == 3, (result.returncode, result.stderr)
    lines = [line for line in result.stderr.splitlines() if line.startswith("PANIC ")]
    return lines[-1][len("PANIC "):]
