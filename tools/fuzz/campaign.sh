#!/usr/bin/env bash
# Fuzz campaign over the model file reader: builds fuzz_reader with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer (clang from Debian),
# writes the seed corpus with the library's own writer, then fuzzes for the
# given time and prints executions, coverage (edges) and findings.
#
#   tools/fuzz/campaign.sh SECONDS [WORKERS]
#
# The corpus grows in $KEMB_FUZZ_DIR/corpus (default build/fuzz-campaign)
# across runs. Any crashing, leaking, hanging or out-of-memory input lands in
# $KEMB_FUZZ_DIR/artifacts and fails the run: reproduce it with
#   build/fuzz/tools/fuzz/fuzz_reader ARTIFACT
# and, once fixed, keep it as a case of the reader's C++ tests.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
cd "$KEMB_ROOT"

SECONDS_TO_RUN=${1:?usage: tools/fuzz/campaign.sh SECONDS [WORKERS]}
WORKERS=${2:-1}
OUT=${KEMB_FUZZ_DIR:-$KEMB_ROOT/build/fuzz-campaign}
CLANG=${KEMB_FUZZ_CLANG:-clang++-16}

# clang 16 is the oldest Debian clang whose C++20 library support covers
# std::source_location with libstdc++ 12; libclang-rt-16-dev has libFuzzer.
if ! command -v "$CLANG" >/dev/null || [ ! -d /usr/lib/llvm-16/lib/clang/16/lib/linux ]; then
  echo "== installing clang 16 and libFuzzer (Debian clang-16, libclang-rt-16-dev)"
  kemb_apt_install clang-16 libclang-rt-16-dev
fi

kemb_venv
if ! "$VENV_PY" -c "import scipy_openblas32" 2>/dev/null || [ ! -x "$KEMB_VENV/bin/ninja" ]; then
  kemb_pip "$(kemb_openblas_requirement)" cmake ninja
fi

echo "== building fuzz_reader"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER="$CLANG" -DKEMB_BUILD_FUZZ=ON \
  -DKEMB_BUILD_MODULE=OFF -DKEMB_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKEMB_PYTHON_FOR_OPENBLAS="$VENV_PY" -DCMAKE_MAKE_PROGRAM="$KEMB_VENV/bin/ninja" >/dev/null
cmake --build build/fuzz

mkdir -p "$OUT/corpus" "$OUT/artifacts"
rm -rf "$OUT/seeds"
build/fuzz/tools/fuzz/make_seeds "$OUT/seeds"
echo "== $(ls "$OUT/seeds" | wc -l) seeds, $(ls "$OUT/corpus" | wc -l) corpus entries"

# allocator_may_return_null: impossible sizes must come back as errors, not
# reports. Memory leaks are findings (libFuzzer checks them per input).
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
FLAGS=(-dict=tools/fuzz/model_file.dict -max_len=65536 -timeout=10 -rss_limit_mb=2048
       -max_total_time="$SECONDS_TO_RUN" -print_final_stats=1
       -artifact_prefix="$OUT/artifacts/")
# Independent workers sharing one corpus directory (each picks up the
# others' new inputs); libFuzzer's fork mode halves the execution rate here.
STAMP=$(date +%Y%m%d-%H%M%S)
echo "== fuzzing for ${SECONDS_TO_RUN}s with $WORKERS worker(s); logs: $OUT/fuzz-$STAMP-*.log"
PIDS=()
for ((w = 1; w <= WORKERS; w++)); do
  build/fuzz/tools/fuzz/fuzz_reader "${FLAGS[@]}" -seed="$w$RANDOM" "$OUT/corpus" "$OUT/seeds" \
    >"$OUT/fuzz-$STAMP-$w.log" 2>&1 &
  PIDS+=($!)
done
STATUS=0
for pid in "${PIDS[@]}"; do wait "$pid" || STATUS=$?; done

EXECS=$(cat "$OUT"/fuzz-"$STAMP"-*.log |
        sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' | awk '{s += $1} END {print s}')
# Coverage of the whole corpus, seeds included, in one pass: the edges that
# the "INITED" line reports.
EDGES=$(build/fuzz/tools/fuzz/fuzz_reader -runs=0 "$OUT/corpus" "$OUT/seeds" 2>&1 |
        sed -nE 's/.*INITED cov: ([0-9]+).*/\1/p')
FINDINGS=$(find "$OUT/artifacts" -type f | wc -l)
echo "== executions: ${EXECS:-?}  coverage: ${EDGES:-?} edges  corpus: $(ls "$OUT/corpus" | wc -l)  findings: $FINDINGS"
if [ "$FINDINGS" -ne 0 ] || [ "$STATUS" -ne 0 ]; then
  echo "== fuzz_reader failed (exit $STATUS); the findings are in $OUT/artifacts:" >&2
  find "$OUT/artifacts" -type f >&2
  cat "$OUT"/fuzz-"$STAMP"-*.log | grep -E 'ERROR|SUMMARY|violated|runtime error' | head -20 >&2 || true
  exit 1
fi
