#!/usr/bin/env bash
# Mutation testing: how many small faults planted in src/ do the tests catch?
# A developer tool, not a CI step (a full run takes hours); docs/mutation.md
# explains the sample, the tests that run and how to read the results.
#
#   bash scripts/mutation.sh [--seed N] [--size N] [--out DIR] [--jobs N] [--timeout S]
#   bash scripts/mutation.sh compare OUT_BEFORE OUT_AFTER
#
# The first form generates every mutant universalmutator (pinned below) makes
# of src/*.cpp and src/*.hpp, shuffles them with the seed (default 1) and tries
# them in that order until --size (default 150) of them have built; the ones
# that do not build are counted apart. Each one is written into a scratch copy
# of the working tree (build/mutation/tree; the working tree itself is never
# written, Ctrl-C included), rebuilt incrementally in build/mutation/build,
# then tested: the C++ tests (ctest, stopping at the first failure), then
# pytest -x on tests/python without the leak check. It is killed when a test
# fails or the tests outlast the timeout. Results go to OUT (default
# build/mutation/results/seed<N>): journal.jsonl, one line per mutant
# tried, and report.md, the kill rate and the survivors. Running the same
# command again resumes where it stopped.
#
# The second form compares two runs of one sample (the same src/, seed and
# size, for instance before and after a change to the tests): both rates and
# the mutants whose outcome changed.
#
# Everything runs under nice (KEMB_MUTATION_NICE, default 19) so that other
# builds on the machine go first. Needs GoogleTest, as scripts/test.sh does.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$KEMB_ROOT"

if ! kemb_gtest_installed; then
  echo "GoogleTest is missing: run bash scripts/test.sh once (it installs libgtest-dev)" >&2
  exit 1
fi

kemb_venv
# The build and test requirements of the project, and the mutation generator.
mapfile -t requirements < <(kemb_pyproject_list project.dependencies
                            kemb_pyproject_list project.optional-dependencies.test)
kemb_pip "${requirements[@]}" "$(kemb_openblas_requirement)" cmake ninja universalmutator==1.14.1
export PATH="$KEMB_VENV/bin:$PATH"

if [ "${1:-}" = compare ]; then
  exec "$VENV_PY" tools/mutation.py "$@"
fi
exec nice -n "${KEMB_MUTATION_NICE:-19}" "$VENV_PY" tools/mutation.py run "$@"
