"""Exports a saved kemb model to ONNX, for serving with onnxruntime or any
other ONNX runtime.

The model file that training writes holds every layer's weights and biases.
The graph runs them as inference does: a dense layer is a Gemm (x . W + b),
a "relu" activation a Relu, a dropout layer nothing (it is the identity
outside training), and the output is the model's prediction:
- categorical: `probabilities` [batch, classes] (Softmax) and `label`
  [batch] (ArgMax, ties to the lowest class, as kemb predicts);
- linear: `prediction` [batch], the first output column, as kemb predicts.
The input is `x`, float32 [batch, n_inputs]. Run:
    python examples/export_onnx.py MODEL.json OUT.onnx [--kind categorical|linear]
The kind defaults to the file's own: only linear models save `acc_precision`.
"""

import argparse
import json
import pathlib
from typing import Any

import numpy as np
import onnx
from numpy.typing import NDArray
from onnx import TensorProto, helper, numpy_helper

OPSET = 17  # Softmax over one axis (13+); served by every current onnxruntime


def array(obj: dict[str, Any], name: str) -> NDArray[np.float32]:
    """A matrix or vector object of the model file as a float32 array."""
    if obj.get("v") != 1:
        raise SystemExit(f"{name}: unknown array version {obj.get('v')!r}")
    values = [np.nan if value is None else value for value in obj["data"]]
    return np.array(values, dtype=np.float32).reshape(obj["dim"])


def build(model: dict[str, Any], kind: str) -> onnx.ModelProto:
    """The ONNX graph of a parsed model file."""
    expected_output = "softmax" if kind == "categorical" else "linear"
    if model["output_type"] != expected_output:
        raise SystemExit(f"a {kind} model needs output_type {expected_output!r}, "
                         f"this one has {model['output_type']!r}: kemb predicts nothing for it")
    nodes: list[onnx.NodeProto] = []
    weights: list[onnx.TensorProto] = []
    current, n_inputs = "x", None
    for index, layer in enumerate(model["layers"]):
        kind_of_layer = layer["layer_type"]
        if kind_of_layer == "dense":
            w = array(layer["weights"], f"layer {index} weights")
            b = array(layer["biases"], f"layer {index} biases")
            if w.ndim != 2 or w.size == 0 or b.shape != (w.shape[1],):
                raise SystemExit(f"layer {index}: weights {w.shape} and biases {b.shape} "
                                 "do not form a trained dense layer")
            n_inputs = w.shape[0] if n_inputs is None else n_inputs
            weights += [numpy_helper.from_array(w, f"W{index}"),
                        numpy_helper.from_array(b, f"B{index}")]
            nodes.append(helper.make_node("Gemm", [current, f"W{index}", f"B{index}"],
                                          [f"dense{index}"]))
            current = f"dense{index}"
        elif kind_of_layer != "dropout":
            # kemb's forward pass turns any other layer into an empty output.
            raise SystemExit(f"layer {index}: layer_type {kind_of_layer!r} cannot be exported")
        if layer["activation_type"] == "relu":  # kemb applies it after any layer kind
            nodes.append(helper.make_node("Relu", [current], [f"relu{index}"]))
            current = f"relu{index}"
    if n_inputs is None:
        raise SystemExit("the model has no dense layer, so its input width is unknown")

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
                                 producer_name="kemb export_onnx.py")
    onnx.checker.check_model(exported, full_check=True)
    return exported


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("model", type=pathlib.Path, help="model file written by kemb's training")
    parser.add_argument("output", type=pathlib.Path, help="ONNX file to write")
    parser.add_argument("--kind", choices=["categorical", "linear"],
                        help="model kind (default: linear when the file has acc_precision)")
    args = parser.parse_args()

    with open(args.model, encoding="utf-8") as f:
        model = json.load(f)
    kind = args.kind or ("linear" if "acc_precision" in model else "categorical")
    onnx.save(build(model, kind), args.output)
    print(f"{args.output}: {kind} model, {len(model['layers'])} layers")


if __name__ == "__main__":
    main()
