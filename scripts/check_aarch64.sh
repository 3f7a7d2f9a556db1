#!/usr/bin/env bash
# The aarch64 build's tests on this x86_64 machine, under qemu's user-mode
# emulation (no binfmt_misc needed):
#   - the C++ core tests, cross-built with Debian's g++-aarch64-linux-gnu
#     against GoogleTest built from Debian's sources (/usr/src/googletest);
#   - the Python tests against the aarch64 release wheel (dist/, built by
#     scripts/build_wheels.sh if missing), run by Debian's arm64 CPython,
#     unpacked from its .deb files into build/aarch64/root.
# Both run against the OpenBLAS of the aarch64 scipy-openblas32 wheel.
#
# The emulated CPU is named: qemu's default ("max") announces SME, for which
# OpenBLAS picks its armv9sme kernels, and their products come out wrong
# under qemu 7.2 (Debian 12's). Neoverse N1 (Graviton 2, Ampere Altra)
# gives OpenBLAS's NEON kernels; the C++ tests run again on A64FX for its
# SVE kernels.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$KEMB_ROOT"

AARCH64=$KEMB_ROOT/build/aarch64
ROOT=$AARCH64/root

echo "== Debian packages: qemu, the cross compiler, GoogleTest's sources, arm64 CPython"
missing=()
for pkg in qemu-user-static g++-aarch64-linux-gnu libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
updated=false
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
  $SUDO apt-get update -qq
  updated=true
fi
if [ ${#missing[@]} -gt 0 ]; then
  $updated || $SUDO apt-get update -qq
  updated=true
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# CPython 3.11 and the libraries it and the wheels' extensions load
# (libstdc++ for NumPy and SciPy), without dpkg, tar and their kin.
PYTHON_DEBS=(python3.11 python3.11-minimal libpython3.11-minimal libpython3.11-stdlib
  libc6 libgcc-s1 gcc-12-base libstdc++6 libbz2-1.0 libcrypt1 libdb5.3 libexpat1 libffi8
  liblzma5 libncursesw6 libtinfo6 libreadline8 libsqlite3-0 libssl3 libuuid1 libzstd1
  zlib1g libnsl2 libtirpc3 libgssapi-krb5-2 libkrb5-3 libk5crypto3 libkrb5support0
  libkeyutils1 libcom-err2)
if [ ! -x "$ROOT/usr/bin/python3.11" ]; then
  rm -rf "$AARCH64/debs" "$ROOT" && mkdir -p "$AARCH64/debs" "$ROOT"
  download() { (cd "$AARCH64/debs" && apt-get download -qq "${PYTHON_DEBS[@]/%/:arm64}" 2>&1 |
    { grep -v "unsandboxed" || true; }); }
  download || { $updated || $SUDO apt-get update -qq; download; }
  for deb in "$AARCH64"/debs/*.deb; do dpkg -x "$deb" "$ROOT"; done
  echo "   $(ls "$AARCH64"/debs/*.deb | wc -l) packages, $(du -sm "$AARCH64/debs" | cut -f1) MB"
fi
# Programs start through the unpacked root's dynamic loader, with its
# libraries, rather than under qemu's -L ROOT: -L would show the guest ROOT
# as "/" too, and the save path's walk from "/" would then miss /tmp.
# Run through the wrapper, the interpreter takes it for its own executable
# (the loader's --argv0), so tests that start child interpreters with
# sys.executable start emulated ones; PYTHONHOME points it at its stdlib.
export QEMU_CPU=neoverse-n1
mkdir -p "$AARCH64/bin"
EMULATE=(qemu-aarch64-static "$ROOT/lib/ld-linux-aarch64.so.1"
  --library-path "$ROOT/lib/aarch64-linux-gnu:$ROOT/usr/lib/aarch64-linux-gnu")
printf '#!/bin/sh\nPYTHONHOME="%s" exec %s --argv0 "$0" "%s" "$@"\n' \
  "$ROOT/usr" "${EMULATE[*]}" "$ROOT/usr/bin/python3.11" >"$AARCH64/bin/python"
chmod +x "$AARCH64/bin/python"
PY_AARCH64=$AARCH64/bin/python
"$PY_AARCH64" -c "import platform, sys; print('  ', platform.machine(), sys.version.split()[0])"

# The host-side tools (CMake, Ninja, pip) live with the release toolchain.
kemb_release_venv
kemb_pip cmake ninja
PATH=$KEMB_VENV/bin:$PATH
# pip's --platform takes exact tags: every manylinux level up to 2.28.
PLATFORMS=(--platform manylinux2014_aarch64)
for minor in $(seq 17 28); do PLATFORMS+=(--platform "manylinux_2_${minor}_aarch64"); done
TARGET_PIP=(--only-binary=:all: "${PLATFORMS[@]}" --python-version 3.11 --implementation cp)

echo "== C++ core tests, cross-built, under emulation"
rm -rf "$AARCH64/deps"
kemb_pip --no-deps "${TARGET_PIP[@]}" --target "$AARCH64/deps" "$(kemb_openblas_requirement)"
CROSS=(-G Ninja -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
  -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++
  -DCMAKE_BUILD_TYPE=Release)
if [ ! -f "$AARCH64/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$AARCH64/gtest-build" "${CROSS[@]}" -DBUILD_GMOCK=OFF \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DCMAKE_INSTALL_PREFIX="$AARCH64/gtest" >/dev/null
  cmake --build "$AARCH64/gtest-build" >/dev/null
  cmake --install "$AARCH64/gtest-build" >/dev/null
fi
cmake -S . -B "$AARCH64/tests" "${CROSS[@]}" -DKEMB_BUILD_MODULE=OFF -DKEMB_BUILD_TESTS=ON \
  -DKEMB_WERROR=ON -DGTest_DIR="$AARCH64/gtest/lib/cmake/GTest" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$(IFS=';'; echo "${EMULATE[*]}")" \
  -DKEMB_OPENBLAS_INCLUDE_DIR="$AARCH64/deps/scipy_openblas32/include" \
  -DKEMB_OPENBLAS_LIBRARY="$AARCH64/deps/scipy_openblas32/lib/libscipy_openblas.so" >/dev/null
cmake --build "$AARCH64/tests"
for QEMU_CPU in neoverse-n1 a64fx; do
  echo "   on $QEMU_CPU"
  ctest --test-dir "$AARCH64/tests" --output-on-failure -j2
done
QEMU_CPU=neoverse-n1

echo "== Python tests against the aarch64 release wheel, under emulation"
wheel=$(ls dist/kemb-*_aarch64.whl 2>/dev/null || true)
if [ -z "$wheel" ]; then
  bash scripts/build_wheels.sh linux-aarch64
  wheel=$(ls dist/kemb-*_aarch64.whl)
fi
# The test requirements less onnxruntime, whose aarch64 build dies of
# SIGSEGV at import under qemu 7.2 (the ONNX export tests skip without it).
mapfile -t test_requires < <(kemb_pyproject_list project.optional-dependencies.test |
                             grep -v '^onnxruntime')
rm -rf "$AARCH64/site"
kemb_pip "${TARGET_PIP[@]}" --target "$AARCH64/site" "$wheel" "${test_requires[@]}"

# What emulation distorts, and so is not run here:
DESELECT=(
  # A child's RSS over 2000 calls: qemu-user keeps about 240 KiB for every
  # thread the guest starts and joins (a training call starts its save
  # writer), so 2000 plain Python threads grow it by 480 MiB; natively 0.
  tests/python/test_leaks.py::test_memory_and_reference_counts_stay_flat
  # Twenty trials of 25 trainings with forks, each limited to 60 s at
  # native speed; emulated, each trial runs into its limit (10 minutes).
  tests/python/test_threads.py::test_forks_from_another_thread_during_training_never_hang
)
outside=$(mktemp -d)
trap 'rm -rf "$outside"' EXIT
mkdir -p "$outside/tests"
cp -r tests/python "$outside/tests/"
cp -r examples README.md pyproject.toml docs "$outside/"
cd "$outside"
PYTHONPATH=$AARCH64/site "$PY_AARCH64" -m pytest -q -p no:cacheprovider \
  "${DESELECT[@]/#/--deselect=}" tests/python
