#!/usr/bin/env bash
# Helpers for make test's stages.
#   test_report.sh retries LOG         names the tests that CTest ran more than
#                                      once in that run (LastTest.log)
#   test_report.sh sanitizer-logs DIR  prints every report a sanitizer wrote to
#                                      DIR (test programs and the phones and
#                                      servers they started) and fails if any
set -euo pipefail

case "${1:-}" in
retries)
    log=$2
    # Each try of a test starts a block "N/M Test: name" and ends with its
    # outcome ("Test Passed." or another "Test ...").
    awk '
        /^[0-9]+\/[0-9]+ Test: / { name = $3; tries[name]++; next }
        /^Test (Passed|Failed|Not Run)|^Test .*\.$/ && name != "" { last[name] = $2; name = "" }
        END {
            n = 0; list = ""
            for (t in tries) {
                if (tries[t] < 2) continue
                n++
                list = list (list == "" ? "" : ", ") t " (" tries[t] " tries, " \
                       (last[t] == "Passed." ? "passed" : "failed") ")"
            }
            if (n == 0) print "retried: 0 tests"
            else print "retried: " n " tests: " list
        }' "$log"
    ;;
sanitizer-logs)
    dir=$2
    shopt -s nullglob
    reports=("$dir"/*)
    if [[ ${#reports[@]} -eq 0 ]]; then
        echo "sanitizer reports: none"
        exit 0
    fi
    for r in "${reports[@]}"; do
        echo "===== $r"
        cat "$r"
    done
    echo "sanitizer reports: ${#reports[@]} (above)" >&2
    exit 1
    ;;
*)
    echo "usage: $0 retries LOG | sanitizer-logs DIR" >&2
    exit 2
    ;;
esac
