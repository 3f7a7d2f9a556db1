"""ONNX export of a model file, and the kemb-onnx command.

The graph runs the model as kemb's evaluation does: a dense layer is a Gemm
(x . W + b), "relu" a Relu after the layer, a dropout layer nothing (it is
the identity outside training), and the output is the model's prediction.
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._model_file import Kind, Model, PathLike, read_model

if TYPE_CHECKING:
    import onnx

OPSET = 17  # Softmax over one axis (13+); served by every current onnxruntime


def export_onnx(model_file: PathLike, out_path: PathLike, kind: Kind | None = None) -> None:
    """Writes a model that kemb's training saved as an ONNX file.

    The graph's input is "x", float32 [batch, n_inputs]. A classifier gives
    "probabilities" [batch, classes] (Softmax) and "label" [batch] (int64
    ArgMax, ties to the lowest class as kemb predicts); a regression model
    gives "prediction" [batch], the first output column, as kemb predicts.
    Dense layers become Gemm, "relu" Relu; dropout layers are left out. The
    command `kemb-onnx MODEL.json OUT.onnx [--kind categorical|linear]` does
    the same from a shell.

    Args:
        model_file: a model file written by `kemb.train_*_model`.
        out_path: the ONNX file to write (replaced if it exists).
        kind: "categorical" or "linear"; by default the file's own (only
            regression files hold `acc_precision`).

    Raises:
        ModuleNotFoundError: the onnx package is missing
            (`pip install "kemb[export]"`).
        ValueError: the file is not a kemb model file, or holds a model that
            kemb predicts nothing for (see `predict`), or no dense layer to
            take the input width from.
        OSError: a file cannot be read or written.
    """
    model = read_model(model_file)
    _save(_graph(model, kind or model.kind), out_path)


def _save(exported: onnx.ModelProto, out_path: PathLike) -> None:
    import onnx

    onnx.save(exported, os.fspath(out_path))


def _graph(model: Model, kind: Kind) -> onnx.ModelProto:
    try:
        import onnx
        from onnx import TensorProto, helper, numpy_helper
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError(f"ONNX export needs the onnx package ({error}); install it "
                                  'with pip install "kemb[export]"', name="onnx") from None

    model.check_predicts(kind)
    nodes: list[Any] = []
    weights: list[Any] = []
    current, n_inputs = "x", None
    for index, layer in enumerate(model.layers):
        if layer.layer_type == "dense":
            w, b = layer.weights, layer.biases
            if w.size == 0 or b.shape != (w.shape[1],):
                model.fail(f"layer {index} has weights {w.shape} and biases {b.shape}",
                           "a trained dense layer (n_inputs x n_neurons weights, n_neurons "
                           "biases)")
            n_inputs = w.shape[0] if n_inputs is None else n_inputs
            weights += [numpy_helper.from_array(w, f"W{index}"),
                        numpy_helper.from_array(b, f"B{index}")]
            nodes.append(helper.make_node("Gemm", [current, f"W{index}", f"B{index}"],
                                          [f"dense{index}"]))
            current = f"dense{index}"
        if layer.activation_type == "relu":  # kemb applies it after any layer kind
            nodes.append(helper.make_node("Relu", [current], [f"relu{index}"]))
            current = f"relu{index}"
    if n_inputs is None:
        model.fail("the model has no dense layer, so its input width is unknown",
                   "at least one dense layer")

    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, ["batch", n_inputs])
    if kind == "categorical":
        nodes.append(helper.make_node("Softmax", [current], ["probabilities"], axis=1))
        nodes.append(helper.make_node("ArgMax", ["probabilities"], ["label"], axis=1,
                                      keepdims=0))
        outputs = [helper.make_tensor_value_info("probabilities", TensorProto.FLOAT,
                                                 ["batch", None]),
                   helper.make_tensor_value_info("label", TensorProto.INT64, ["batch"])]
    else:
        weights.append(numpy_helper.from_array(np.array(0, np.int64), "first_column"))
        nodes.append(helper.make_node("Gather", [current, "first_column"], ["prediction"],
                                      axis=1))
        outputs = [helper.make_tensor_value_info("prediction", TensorProto.FLOAT, ["batch"])]
    graph = helper.make_graph(nodes, f"kemb_{kind}", [x], outputs, initializer=weights)
    exported = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                                 producer_name="kemb_tools")
    onnx.checker.check_model(exported, full_check=True)
    return exported


def main(argv: Sequence[str] | None = None) -> int:
    """The kemb-onnx command."""
    parser = argparse.ArgumentParser(
        prog="kemb-onnx",
        description="Exports a model file that kemb's training saved to ONNX, for onnxruntime "
                    "or any other ONNX runtime.")
    parser.add_argument("model", help="model file written by kemb's training")
    parser.add_argument("output", help="ONNX file to write")
    parser.add_argument("--kind", choices=["categorical", "linear"],
                        help="model kind (default: the file's own; only regression files "
                             "have acc_precision)")
    args = parser.parse_args(argv)
    try:
        model = read_model(args.model)
        kind = args.kind or model.kind
        _save(_graph(model, kind), args.output)
    except (ValueError, OSError, ModuleNotFoundError) as error:
        parser.exit(1, f"kemb-onnx: {error}\n")
    print(f"{args.output}: {kind} model, {len(model.layers)} layers")
    return 0
