"""Tools around kemb, in pure Python: predictions as NumPy arrays, ONNX
export and the progress of a training call.

- `predict(model_file, x)`: the classes or values that kemb's evaluation
  prints, for the rows of `x`, from a saved model file.
- `export_onnx(model_file, out_path)`: the model as an ONNX graph (needs
  the onnx package: `pip install "kemb[export]"`); also the command
  `kemb-onnx MODEL.json OUT.onnx [--kind categorical|linear]`.
- `read_progress(text)`: the progress lines of a training call as arrays.

They read the model files and the text that kemb writes; only NumPy is
needed to import them.
"""

from ._onnx import export_onnx
from ._predict import predict
from ._progress import read_progress

__all__ = ["predict", "export_onnx", "read_progress"]
