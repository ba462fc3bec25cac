#!/bin/sh
# Runs every libFuzzer target built in BUILD_DIR for a share of SECONDS, the total budget:
# fuzz_document, which reaches the most code, gets half, the other two a quarter each.
# Corpora grow in BUILD_DIR/corpus (never in the repository); crash inputs land in
# BUILD_DIR/crashes/<target>/ and make the script end with status 1, to be copied into
# fuzz/regressions/<target>/ once the fault is fixed.
set -u
BUILD_DIR=$1
SECONDS_TOTAL=$2
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SEEDS="$ROOT/tests/data/json-test-suite/test_parsing"
if [ ! -d "$SEEDS" ]; then
  echo "fuzz: seed corpus is missing: $SEEDS" >&2
  exit 1
fi
case "$SECONDS_TOTAL" in
  ''|*[!0-9]*) echo "fuzz: FUZZ_SECONDS must be a whole number of seconds, got '$SECONDS_TOTAL'" >&2; exit 1 ;;
esac

status=0
for target in fuzz_document fuzz_natural fuzz_paths; do
  # Inputs are capped: a few kilobytes reach every branch (the nesting limit needs 128 bytes),
  # and the largest seeds would otherwise make every mutation slow.
  case $target in
    fuzz_document) share=$((SECONDS_TOTAL / 2)); max_len=8192 ;;
    *) share=$((SECONDS_TOTAL / 4)); max_len=1024 ;;
  esac
  [ "$share" -ge 1 ] || share=1
  corpus="$BUILD_DIR/corpus/$target"
  crashes="$BUILD_DIR/crashes/$target"
  log="$BUILD_DIR/logs/$target.log"
  mkdir -p "$corpus" "$crashes" "$BUILD_DIR/logs"
  echo "fuzz: $target for ${share}s (log: $log)"
  # New inputs go to the first directory only; the regressions and the seeds are read, not written.
  "$BUILD_DIR/$target" -max_total_time="$share" -timeout=10 -max_len="$max_len" -print_final_stats=1 \
    -dict="$ROOT/fuzz/json.dict" -artifact_prefix="$crashes/" \
    "$corpus" "$ROOT/fuzz/regressions/$target" "$SEEDS" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  echo "fuzz: $target: ${runs:-?} executions in ${took:-?}s, status $rc"
  if [ "$rc" -ne 0 ]; then
    status=1
    echo "fuzz: $target FAILED; last lines of $log:" >&2
    tail -n 40 "$log" >&2
    echo "fuzz: crash inputs in $crashes:" >&2
    ls -l "$crashes" >&2
  fi
done
exit $status
