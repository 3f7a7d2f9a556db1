#!/usr/bin/env bash
# Runs the Python benchmark suite from a fresh machine: a virtual
# environment in bench/.venv with PyTorch (CPU), NumPy and matplotlib, kemb
# built and installed from this repository, then the per-epoch comparison,
# the scaling sweep and the memory measurement, and the report that updates
# docs/performance.md and its plot.
#
#   bash bench/run.sh [train|sweep|memory|saving|report ...]   (default: all five)
#
# The environment's OpenBLAS overrides (OPENBLAS_CORETYPE, OPENBLAS_L2_SIZE)
# would pin an older, slower kernel: the runs go without them, and the
# report names the kernel that ran.
set -euo pipefail
BENCH=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$BENCH")
VENV=${KEMB_BENCH_VENV:-$BENCH/.venv}
cd "$ROOT"

if [ ! -x "$VENV/bin/python" ]; then
  "${KEMB_PYTHON:-python3}" -m venv "$VENV"
fi
PY="$VENV/bin/python"
if ! "$PY" -c "import torch, numpy, matplotlib" 2>/dev/null; then
  echo "== installing torch==2.13.0 (CPU), numpy, matplotlib into $VENV"
  "$PY" -m pip install -q --disable-pip-version-check torch==2.13.0 numpy matplotlib 2>&1 |
    { grep -v -E "^WARNING: Location '.*' is ignored" || true; }
fi
if [ "${KEMB_BENCH_SKIP_INSTALL:-0}" != 1 ]; then
  echo "== installing kemb from $ROOT"
  "$PY" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$ROOT" 2>&1 |
    { grep -v -E "^WARNING: Location '.*' is ignored" || true; }
fi

run() { env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$PY" "$@"; }
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(train sweep memory saving report)
mkdir -p bench/results
for step in "${steps[@]}"; do
  echo "== $step"
  case "$step" in
    train) run bench/train.py ;;
    sweep) run bench/sweep.py ;;
    memory) run bench/memory.py ;;
    saving) run bench/saving.py ;;
    report) run bench/report.py ;;
    *) echo "unknown step: $step" >&2; exit 2 ;;
  esac
done
