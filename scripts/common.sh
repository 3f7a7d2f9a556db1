# Shared set-up of the README commands and the CI scripts: virtual
# environments with pip, the project's requirements as pyproject.toml pins
# them, and Debian packages.
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

# The environment of the release toolchain (zig, auditwheel, CMake and
# Ninja for cross builds), which the wheel scripts share.
kemb_release_venv() {
  KEMB_VENV=${KEMB_RELEASE_VENV:-$KEMB_ROOT/build/release-tools}
  kemb_venv
}

# The strings of a list in pyproject.toml, one per line, by its dotted path:
#   kemb_pyproject_list build-system.requires
#   kemb_pyproject_list project.optional-dependencies.test
kemb_pyproject_list() {
  "$VENV_PY" - "$KEMB_ROOT/pyproject.toml" "$1" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    value = tomllib.load(f)
for key in sys.argv[2].split("."):
    value = value[key]
print("\n".join(value))
PY
}

# The scipy-openblas32 requirement exactly as pyproject.toml pins it.
kemb_openblas_requirement() {
  kemb_pyproject_list build-system.requires | grep '^scipy-openblas32'
}

# Root runs apt-get itself; anyone else through sudo.
if [ "$(id -u)" -eq 0 ]; then SUDO=; else SUDO=sudo; fi

# Installs those of the named Debian packages that are missing.
kemb_apt_install() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
}

# GoogleTest's CMake package where a system keeps it: the multiarch directory
# of Debian and Ubuntu (x86_64-linux-gnu, aarch64-linux-gnu, ...) or lib/lib64.
kemb_gtest_installed() {
  local multiarch dir
  multiarch=$(${CXX:-c++} -print-multiarch 2>/dev/null || true)
  for dir in ${multiarch:+/usr/lib/$multiarch} /usr/lib64 /usr/lib /usr/local/lib64 /usr/local/lib; do
    [ -f "$dir/cmake/GTest/GTestConfig.cmake" ] && return 0
  done
  dpkg -s libgtest-dev >/dev/null 2>&1
}
