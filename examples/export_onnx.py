"""Exports a saved kemb model to ONNX, for serving with onnxruntime or any
other ONNX runtime: the command kemb-onnx, which kemb installs, as a script.

Dense layers become Gemm, "relu" Relu, dropout layers nothing (they are the
identity outside training); a classifier ends in Softmax (`probabilities`)
and ArgMax (`label`), a regression model in its first output column
(`prediction`). The input is `x`, float32 [batch, n_inputs]. Run:
    python examples/export_onnx.py MODEL.json OUT.onnx [--kind categorical|linear]
The kind defaults to the file's own: only linear models save `acc_precision`.
Needs the onnx package (`pip install "kemb[export]"`).
"""

import argparse
import pathlib

import kemb_tools


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("model", type=pathlib.Path, help="model file written by kemb's training")
    parser.add_argument("output", type=pathlib.Path, help="ONNX file to write")
    parser.add_argument("--kind", choices=["categorical", "linear"],
                        help="model kind (default: linear when the file has acc_precision)")
    args = parser.parse_args()
    try:
        kemb_tools.export_onnx(args.model, args.output, kind=args.kind)
    except ValueError as error:
        raise SystemExit(error) from None
    print(f"{args.output}: written")


if __name__ == "__main__":
    main()
