#!/usr/bin/env bash
# Runs every benchmark program that the build made.
set -euo pipefail
build=${1:-build}
found=0
for b in "$build"/bench/*; do
    [[ -x "$b" && -f "$b" ]] || continue
    found=1
    echo "== $(basename "$b")"
    "$b"
done
[[ $found -eq 1 ]] || echo "No benchmarks built yet."
