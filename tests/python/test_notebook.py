"""examples/digits.ipynb runs headless in a Jupyter kernel started in another
directory, and what kemb writes to descriptor 1 lands, complete, in the
outputs of the cell that printed it."""

import os
import pathlib
import re

import pytest

nbclient = pytest.importorskip("nbclient")
nbformat = pytest.importorskip("nbformat")
pytest.importorskip("ipykernel")
pytest.importorskip("sklearn")
pytest.importorskip("wurlitzer")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def stream_lines(cell):
    return "".join(o["text"] for o in cell["outputs"] if o["output_type"] == "stream").splitlines()


def test_digits_notebook_shows_progress_and_report(tmp_path):
    notebook = nbformat.read(EXAMPLES / "digits.ipynb", as_version=4)
    # The kernel runs as a user's would: ipykernel leaves descriptor 1 alone
    # when it sees this variable.
    env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
    client = nbclient.NotebookClient(notebook, timeout=120, kernel_name="python3",
                                     resources={"metadata": {"path": str(tmp_path)}})
    client.execute(env=env)
    cells = {cell["metadata"]["tags"][0]: cell for cell in notebook.cells
             if cell["metadata"].get("tags")}

    training = stream_lines(cells["train"])
    assert [line[:11] for line in training] == [
        text for epoch in range(20, 201, 20)
        for text in (f"epoch: {epoch:4d}", "validation:")]

    report = stream_lines(cells["evaluate"])
    assert [line[:6] for line in report[:5]] == ["True: "] * 5
    assert report[5] == "... (392 more sample lines)"
    assert re.fullmatch(r"Validation accuracy \d+\.\d%", report[6])
    # kemb_tools.predict's classes score what the report printed.
    printed = float(report[6].split()[-1][:-1])
    (predicted,) = stream_lines(cells["predict"])
    assert predicted.endswith(f"accuracy {printed:.1f}%")

    assert any("image/png" in o.get("data", {}) for o in cells["plot"]["outputs"])
