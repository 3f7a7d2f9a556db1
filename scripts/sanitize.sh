#!/usr/bin/env bash
# Builds the core, its tests and the extension module with AddressSanitizer
# and UndefinedBehaviorSanitizer, then runs the C++ tests and the Python
# tests against them. Any sanitizer report fails the run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$KEMB_ROOT"

KEMB_VENV=${KEMB_ASAN_VENV:-$KEMB_ROOT/.venv-asan}
kemb_venv
echo "== installing kemb with sanitizers into $KEMB_VENV"
kemb_pip --no-cache-dir -C cmake.define.KEMB_SANITIZE=ON -C cmake.define.KEMB_WERROR=ON \
  -C cmake.build-type=RelWithDebInfo ".[test]" "$(kemb_openblas_requirement)" cmake ninja

echo "== C++ core tests with sanitizers"
cmake -S . -B build/sanitize -G Ninja -DKEMB_BUILD_MODULE=OFF -DKEMB_BUILD_TESTS=ON \
  -DKEMB_SANITIZE=ON -DKEMB_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKEMB_PYTHON_FOR_OPENBLAS="$VENV_PY" -DCMAKE_MAKE_PROGRAM="$KEMB_VENV/bin/ninja" >/dev/null
cmake --build build/sanitize
# allocator_may_return_null: the tests ask for impossible sizes on purpose.
export ASAN_OPTIONS=allocator_may_return_null=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/sanitize --output-on-failure -j2

echo "== Python module tests with sanitizers"
# The interpreter itself is not instrumented: the ASan runtime is preloaded,
# with libstdc++ so that its exception interceptors find the real functions,
# and leak detection is off because CPython keeps allocations until exit.
ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  "$VENV_PY" -m pytest -p no:cacheprovider "$@"
