"""Capturing what kemb prints.

kemb writes its reports straight to the process's standard output (file
descriptor 1), not through sys.stdout, so contextlib.redirect_stdout does not
see them. wurlitzer redirects the descriptor itself: `wurlitzer.pipes()`
hands the text back after the block, and `shown_and_kept` below also passes
it on to sys.stdout while the block runs.
"""

import contextlib
import io
import sys
from collections.abc import Iterator

import wurlitzer  # type: ignore[import-untyped]


class _Tee(io.StringIO):
    def write(self, text: str) -> int:
        sys.stdout.write(text)
        sys.stdout.flush()
        return super().write(text)


@contextlib.contextmanager
def shown_and_kept() -> Iterator[io.StringIO]:
    """Shows what kemb prints in the block through sys.stdout as it comes,
    and keeps a copy: the yielded buffer holds the text once the block ends.

    In a notebook this puts the lines into the cell's output whatever the
    kernel does with descriptor 1 (ipykernel before 6 leaves it on the
    kernel's terminal)."""
    kept = _Tee()
    with wurlitzer.pipes(stdout=kept, stderr=None):
        yield kept


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
