"""Shared helpers for the module tests. kemb prints to file descriptor 1, not
to sys.stdout: in-process tests read it with capfd."""

import os
import subprocess
import sys
import textwrap

import numpy as np

F = np.float32
NONE = np.zeros((0, 0), F)  # a validation set of 0 x 0 skips validation


def outcome(call):
    """"ok", or the type and message of what the call raised."""
    try:
        call()
        return "ok"
    except BaseException as error:
        return f"{type(error).__name__}: {error}"


def run_script(code, *, env=None, cwd=None, timeout=600):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env={**os.environ, **(env or {})}, cwd=cwd, timeout=timeout)


# The head of a child script: kemb, np and the arrays saved for it as data.
PRELUDE = """
import sys
import numpy as np
import kemb
try:
    data = dict(np.load({npz!r}))
except FileNotFoundError:
    data = {{}}
"""
