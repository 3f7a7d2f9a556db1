#!/usr/bin/env bash
# Sets up everything the tests need on a fresh machine, then runs all tests:
# the C++ core tests (GoogleTest through CTest) and the module tests
# (pytest against kemb installed into the virtual environment).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$KEMB_ROOT"

if ! kemb_gtest_installed; then
  echo "== installing GoogleTest (Debian libgtest-dev)"
  kemb_apt_install libgtest-dev
fi

# KEMB_PORTABLE=1: the module and the C++ tests built with only the
# portable paths of src/os, in their own environment and build directory.
build=build/tests
defines=(-DKEMB_WERROR=ON)
if [ "${KEMB_PORTABLE:-0}" = 1 ]; then
  KEMB_VENV=$KEMB_ROOT/.venv-portable
  build=build/tests-portable
  defines+=(-DKEMB_PORTABLE=ON)
fi
kemb_venv
echo "== installing kemb and the test requirements into $KEMB_VENV"
kemb_pip "${defines[@]/#-D/-Ccmake.define.}" ".[test]" "$(kemb_openblas_requirement)" cmake ninja

echo "== C++ core tests"
cmake -S . -B "$build" -G Ninja -DKEMB_BUILD_MODULE=OFF -DKEMB_BUILD_TESTS=ON "${defines[@]}" \
  -DKEMB_PYTHON_FOR_OPENBLAS="$VENV_PY" -DCMAKE_MAKE_PROGRAM="$KEMB_VENV/bin/ninja" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2

echo "== Python module tests"
"$VENV_PY" -m pytest "$@"

echo "== type stubs, kemb_tools and the examples' types"
(cd "$KEMB_ROOT/build" && "$VENV_PY" -m mypy.stubtest kemb --allowlist "$KEMB_ROOT/stubs/stubtest-allowlist.txt")
# tests/typing: every misspelt option text must be an error and no right one.
"$VENV_PY" -m mypy --strict --no-incremental --cache-dir=/dev/null examples tests/typing \
  python/kemb_tools
