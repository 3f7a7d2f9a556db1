# Shared set-up of the README commands: a virtual environment in $KEMB_VENV
# (default .venv) with pip, and the toolchain checks.
set -euo pipefail

KEMB_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KEMB_VENV=${KEMB_VENV:-$KEMB_ROOT/.venv}
KEMB_PYTHON=${KEMB_PYTHON:-python3}
# Two compile jobs (Ninja would start cores + 2): the machines that build
# kemb are shared, and the pip builds of the module honour this too.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

kemb_venv() {
  if [ ! -x "$KEMB_VENV/bin/python" ]; then
    "$KEMB_PYTHON" -m venv "$KEMB_VENV"
  fi
  VENV_PY="$KEMB_VENV/bin/python"
}

# pip with quiet progress; the local wheel mirrors print location warnings
# that say nothing about this project.
kemb_pip() {
  "$VENV_PY" -m pip install --disable-pip-version-check -q "$@" 2>&1 |
    { grep -v -E "^WARNING: Location '.*' is ignored" || true; }
}

# The scipy-openblas32 requirement exactly as pyproject.toml pins it.
kemb_openblas_requirement() {
  "$VENV_PY" - "$KEMB_ROOT/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    requires = tomllib.load(f)["build-system"]["requires"]
print(next(r for r in requires if r.startswith("scipy-openblas32")))
PY
}
