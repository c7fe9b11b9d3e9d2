#!/usr/bin/env bash
# Renders the phone in every call state and each dialog to PNG files under
# <build>/screenshots/zh (the phone's own Chinese) and <build>/screenshots/en
# (English), on a virtual X display when one is available.
set -euo pipefail
build=${1:-build}
[[ -f "$build/build.ninja" ]] || cmake -S . -B "$build" -G Ninja
cmake --build "$build" -j "$(nproc)" --target kestrona_screenshots
tool="$build/tests/ui/kestrona_screenshots"
for lang in zh en; do
    out="$build/screenshots/$lang"
    mkdir -p "$out"
    if command -v xvfb-run >/dev/null 2>&1; then
        KESTRONA_LANG=$lang QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" "$tool" "$out"
    else
        KESTRONA_LANG=$lang QT_QPA_PLATFORM=offscreen "$tool" "$out"
    fi
done
echo "Screenshots are in $build/screenshots/zh and $build/screenshots/en"
