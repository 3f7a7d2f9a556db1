"""Shared helpers for the module tests."""

import os
import subprocess
import sys
import textwrap

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


@pytest.fixture
def script():
    return run_script
