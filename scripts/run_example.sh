#!/usr/bin/env bash
# Sets up kemb on a fresh machine and runs the main example.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$KEMB_ROOT"

kemb_venv
echo "== installing kemb into $KEMB_VENV"
kemb_pip ".[examples]"
echo "== running examples/build_model.py"
"$VENV_PY" examples/build_model.py
