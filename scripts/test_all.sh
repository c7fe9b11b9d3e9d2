#!/usr/bin/env bash
# make test: every stage in turn (plain build, ThreadSanitizer, Address- and
# UndefinedBehaviorSanitizer, fuzz smoke runs), each timed, its output kept in
# build-logs/<stage>.log. A failed stage does not stop the later ones; the
# summary at the end names each stage's result and time, the tests that needed
# a retry, and the whole count.
set -uo pipefail
make=${1:-make}
shift || true
if [[ $# -gt 0 ]]; then
    stages=("$@")
else
    stages=(main tsan asan fuzz)
fi
logs=build-logs
mkdir -p "$logs"

declare -A took result
failed=0
all_start=$(date +%s)
for stage in "${stages[@]}"; do
    echo "=== make test-$stage"
    start=$(date +%s)
    "$make" --no-print-directory "test-$stage" 2>&1 | tee "$logs/$stage.log"
    status=${PIPESTATUS[0]}
    took[$stage]=$(($(date +%s) - start))
    if [[ $status -eq 0 ]]; then
        result[$stage]=passed
    else
        result[$stage]="FAILED ($status)"
        failed=1
    fi
done

passed_total=0
failed_total=0
echo
echo "=== make test summary"
for stage in "${stages[@]}"; do
    # Every CTest run of the stage ends with "P% tests passed, F tests failed out of N".
    counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' \
             "$logs/$stage.log" | awk '{ f += $1; n += $2 } END { print n - f, f }')
    read -r p f <<<"${counts:-0 0}"
    passed_total=$((passed_total + p))
    failed_total=$((failed_total + f))
    printf '%-6s %-12s %5d s  %d passed, %d failed\n' "$stage" "${result[$stage]}" \
        "${took[$stage]}" "$p" "$f"
    grep -h '^retried: ' "$logs/$stage.log" | sed 's/^/       /' || true
done
printf 'total  %d s\n' "$(($(date +%s) - all_start))"
if [[ $failed -ne 0 && $failed_total -eq 0 ]]; then
    # A stage that failed before its tests ran (a build error) still fails.
    failed_total=1
fi
echo "make test: $passed_total passed, $failed_total failed"
exit $failed
