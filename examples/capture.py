"""Capturing what kemb prints.

kemb writes its reports straight to the process's standard output (file
descriptor 1), not through sys.stdout, so contextlib.redirect_stdout does not
see them. `captured_stdout` redirects the descriptor itself into a temporary
file and hands back the text once the block ends.
"""

import contextlib
import os
import sys
import tempfile
from collections.abc import Iterator


@contextlib.contextmanager
def captured_stdout() -> Iterator[list[str]]:
    """Yields a list that holds the captured text after the block."""
    result: list[str] = []
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile(mode="w+b") as sink:
        os.dup2(sink.fileno(), 1)
        try:
            yield result
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            result.append(sink.read().decode())


def print_abridged(report: str, sample_lines: int) -> str:
    """Prints the first `sample_lines` per-sample lines of an evaluation
    report (all of them when negative) and its summary line, and returns the
    summary line."""
    lines = report.splitlines()
    samples, summary = lines[:-1], lines[-1]
    shown = samples if sample_lines < 0 else samples[:sample_lines]
    for line in shown:
        print(line)
    if len(shown) < len(samples):
        print(f"... ({len(samples) - len(shown)} more sample lines)")
    print(summary)
    return summary
