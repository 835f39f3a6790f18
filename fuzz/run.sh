#!/usr/bin/env bash
# Runs every fuzz target for a bounded time and prints executions and findings per target.
# Usage: fuzz/run.sh BUILD_DIR SECONDS. New inputs go to BUILD_DIR/corpus/<target>, so the
# seeds kept in fuzz/corpus stay small; crashes and invariant violations are written to
# BUILD_DIR/findings. Exits non-zero when any target found something.
set -euo pipefail

build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
targets=(flow status lines settings template log_filter)

mkdir -p "$build/findings"
printf '%-12s %12s %10s\n' target executions findings
failed=0
for target in "${targets[@]}"; do
    work="$build/corpus/$target"
    seeds="$here/corpus/$target"
    mkdir -p "$work" "$seeds"
    case $target in
        template | log_filter) dict=$target ;;
        *) dict=grbl ;;
    esac
    log="$build/findings/$target.log"
    before=$(find "$build/findings" -name "$target-*" | wc -l)
    status=0
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -dict="$here/dict/$dict.dict" -artifact_prefix="$build/findings/$target-" "$work" "$seeds" \
        >"$log" 2>&1 || status=$?
    after=$(find "$build/findings" -name "$target-*" | wc -l)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    found=$((after - before))
    if [ "$status" -ne 0 ] && [ "$found" -eq 0 ]; then found=1; fi
    printf '%-12s %12s %10s\n' "$target" "${execs:-?}" "$found"
    if [ "$found" -ne 0 ]; then
        failed=1
        grep -m3 -E 'invariant violated|ERROR: AddressSanitizer|runtime error|SUMMARY' "$log" || true
    fi
done
exit "$failed"
