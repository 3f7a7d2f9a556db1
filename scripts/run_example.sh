#!/usr/bin/env bash
# Sets up kemb on a fresh machine and runs the main job: train a digit
# classifier on the handwritten digits bundled with scikit-learn, reload the
# best saved model and evaluate it. Arguments go to examples/digits.py.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$KEMB_ROOT"

kemb_venv
echo "== installing kemb and the examples' requirements into $KEMB_VENV"
kemb_pip ".[examples]"
echo "== python examples/digits.py $*"
"$VENV_PY" examples/digits.py "$@"
