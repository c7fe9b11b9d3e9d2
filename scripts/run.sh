#!/usr/bin/env bash
# Starts what exists of Kestrona from the build folder.
set -euo pipefail
build=${1:-build}
if [[ -x "$build/ui/kestrona" ]]; then
    exec "$build/ui/kestrona"
fi
echo "The phone window is not built yet; the build finished. Programs built so far:"
find "$build" -maxdepth 2 -type f -perm -u+x -name 'kestrona*' | sort
