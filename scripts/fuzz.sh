#!/usr/bin/env bash
# Runs every fuzz target of a QUELMAR_FUZZ build for SECONDS each, from its seed corpus in
# tests/fuzz/corpus/<name>/ plus what earlier runs found (kept in BUILD/corpus/<name>/).
# Prints the executions per target; a crash leaves its input in BUILD/crashes/ and fails.
#   scripts/fuzz.sh BUILD SECONDS [target-name ...]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:?build directory}
seconds=${2:?seconds per target}
shift 2
max_len=${FUZZ_MAX_LEN:-32768}

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    for bin in "$build"/fuzz/fuzz_*; do names+=("$(basename "$bin" | sed 's/^fuzz_//')"); done
fi

mkdir -p "$build/crashes" "$build/logs"
failed=0
printf '%-20s %12s %10s %8s  %s\n' target executions exec/s corpus result
for name in "${names[@]}"; do
    bin="$build/fuzz/fuzz_$name"
    work="$build/corpus/$name"
    log="$build/logs/$name.log"
    mkdir -p "$work"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$bin" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/crashes/$name-" \
        "$work" "tests/fuzz/corpus/$name" >"$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    units=$(find "$work" -type f | wc -l)
    if [ $rc -eq 0 ]; then result=ok; else result="FAILED (see $log)"; failed=1; fi
    printf '%-20s %12s %10s %8s  %s\n' "$name" "${execs:-?}" "${rate:-?}" "$units" "$result"
    if [ $rc -ne 0 ]; then grep -m 20 -E 'ERROR|invariant|SUMMARY|#[0-9]+ ' "$log" | head -20; fi
done
exit $failed
