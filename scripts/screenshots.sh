#!/usr/bin/env bash
# Renders the phone in every call state and each dialog to PNG files under
# <build>/screenshots, on a virtual X display when one is available.
set -euo pipefail
build=${1:-build}
[[ -f "$build/build.ninja" ]] || cmake -S . -B "$build" -G Ninja
cmake --build "$build" -j "$(nproc)" --target kestrona_screenshots
out="$build/screenshots"
mkdir -p "$out"
tool="$build/tests/ui/kestrona_screenshots"
if command -v xvfb-run >/dev/null 2>&1; then
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" "$tool" "$out"
else
    QT_QPA_PLATFORM=offscreen "$tool" "$out"
fi
echo "Screenshots are in $out"
