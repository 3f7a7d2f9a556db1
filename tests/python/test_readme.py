"""The README's Python code blocks run as written, in order, in one fresh
interpreter (so a later block may use what an earlier one defined)."""

import pathlib
import re
import textwrap

import pytest

from conftest import run_script

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def python_blocks():
    # Blocks inside a list item are indented with it.
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    return [textwrap.dedent(block) for block in blocks]


def test_readme_python_blocks_run(tmp_path):
    pytest.importorskip("sklearn")
    code = "\n\n".join(python_blocks())
    result = run_script(code, cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    assert "Validation accuracy " in result.stdout
    # The output that the README shows after a block ("prints" and a plain
    # block), as the failures of training's arguments.
    shown = re.findall(r"prints\n\n *```\n(.*?) *```", README.read_text(), flags=re.S)
    assert shown and all(textwrap.dedent(text) in result.stdout for text in shown)
    assert "could not load: called `Result::unwrap()` on an `Err` value: Os {" in result.stdout
    assert (tmp_path / "digits.json").exists() and (tmp_path / "diabetes.json").exists()
