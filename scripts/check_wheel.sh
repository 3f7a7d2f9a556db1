#!/usr/bin/env bash
# Audits the release wheels in dist/ (scripts/build_wheels.sh builds the
# x86_64 Linux one here if it is missing): abi3audit (only stable-ABI
# symbols), auditwheel (external libraries and platform tag) and
# tools/check_release_wheels.py (symbol versions, exports; the macOS
# wheels' Mach-O files). Installs the x86_64 Linux wheel into a fresh
# virtual environment and runs the Python tests, the stub check and the
# examples' type check against it, from a directory outside the source
# tree. Then builds the sdist, installs kemb from it (compiled by this
# machine's compiler) into another fresh environment together with the
# oldest NumPy that pyproject.toml admits, and runs the Python tests there
# too.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$KEMB_ROOT"

wheel=$(ls dist/kemb-*-manylinux_*_x86_64.whl 2>/dev/null || true)
if [ -z "$wheel" ]; then
  bash scripts/build_wheels.sh linux-x86_64
  wheel=$(ls dist/kemb-*-manylinux_*_x86_64.whl)
fi
kemb_release_venv
kemb_pip abi3audit auditwheel build
for release in dist/kemb-*.whl; do
  echo "== $(basename "$release"): $(du -k "$release" | cut -f1) KiB"
  "$VENV_PY" -m zipfile -l "$release" | grep -v -E "dist-info/(RECORD|WHEEL|METADATA|licenses)"
  echo "== abi3audit"
  "$KEMB_VENV/bin/abi3audit" --strict --report "$release" >/dev/null
  "$KEMB_VENV/bin/abi3audit" --strict "$release"
  case $release in
    *manylinux*) echo "== auditwheel show"; "$KEMB_VENV/bin/auditwheel" show "$release" ;;
  esac
done
echo "== symbol versions, exports and Mach-O files"
"$VENV_PY" tools/check_release_wheels.py dist/kemb-*.whl
rm -rf build/sdist
echo "== building the sdist"
"$VENV_PY" -m build --sdist --outdir build/sdist . >/dev/null
sdist=$(ls build/sdist/kemb-*.tar.gz)
echo "== $(basename "$sdist"): $(du -k "$sdist" | cut -f1) KiB"

echo "== installing the wheel into a fresh environment"
rm -rf build/wheel-venv
KEMB_VENV=$KEMB_ROOT/build/wheel-venv
kemb_venv
kemb_pip "$wheel[test]"

# The tests, the examples and the README are copied out, so that nothing
# can be imported from the source tree.
outside=$(mktemp -d)
trap 'rm -rf "$outside"' EXIT
mkdir -p "$outside/tests"
cp -r tests/python tests/typing "$outside/tests/"
cp -r examples README.md pyproject.toml "$outside/"
cp -r docs "$outside/"
cd "$outside"
echo "== tests against the installed release wheel"
"$VENV_PY" -m pytest -q -p no:cacheprovider tests/python
echo "== stubs, kemb_tools and examples' types"
"$VENV_PY" -m mypy.stubtest kemb --allowlist "$KEMB_ROOT/stubs/stubtest-allowlist.txt"
"$VENV_PY" -m mypy --strict --no-incremental examples tests/typing
"$VENV_PY" -m mypy --strict --no-incremental -p kemb_tools
echo "== kemb-onnx from the wheel"
"$KEMB_VENV/bin/kemb-onnx" --help >/dev/null

# The oldest NumPy release series that the dependency admits ("numpy>=1.23"
# gives 1.23.*, whose last release has wheels for CPython 3.11).
oldest_numpy=$("$VENV_PY" - "$KEMB_ROOT/pyproject.toml" <<'PY'
import re, sys, tomllib
with open(sys.argv[1], "rb") as f:
    dependencies = tomllib.load(f)["project"]["dependencies"]
print(re.fullmatch(r"numpy>=([\d.]+)", next(d for d in dependencies if d.startswith("numpy"))).group(1))
PY
)
echo "== installing kemb from the sdist with NumPy $oldest_numpy.* into a fresh environment"
rm -rf "$KEMB_ROOT/build/sdist-venv"
KEMB_VENV=$KEMB_ROOT/build/sdist-venv
kemb_venv
kemb_pip "$KEMB_ROOT/$sdist[test]" "numpy==$oldest_numpy.*"
"$VENV_PY" -c "import numpy; print('numpy', numpy.__version__)"
echo "== tests against kemb built from the sdist"
"$VENV_PY" -m pytest -q -p no:cacheprovider tests/python
