"""Shared helpers for the module tests."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest


def run_script(code, *, env=None, cwd=None, timeout=600):
    """Runs `code` in a fresh interpreter and returns the completed process.

    kemb prints to the process's standard output (file descriptor 1), not to
    sys.stdout, so exact output is captured from a child process.
    """
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        cwd=cwd,
        timeout=timeout,
    )


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
