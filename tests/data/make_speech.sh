#!/bin/sh
# Regenerates the speech samples used by the codec and audio tests. The files
# are committed, so tests do not depend on the installed voice; run this only
# to change them. Needs espeak-ng and sox.
set -eu
cd "$(dirname "$0")"
text="The quick brown fox jumps over the lazy dog. Please call me back at seven thirty."
tmp=$(mktemp --suffix=.wav)
trap 'rm -f "$tmp"' EXIT
espeak-ng -v en-us -s 150 -a 120 -w "$tmp" "$text"
for rate in 8000 16000 24000; do
    sox "$tmp" -r "$rate" -c 1 -b 16 -e signed-integer "speech_$((rate / 1000))k.wav" \
        rate -h gain -n -3
done
# A second voice, higher and with more sibilants, for the wideband codec
# measures (16 kHz only).
text2="She sells sea shells by the sea shore. Six thick thistle sticks, fifty five seconds past."
espeak-ng -v en-gb+f3 -s 160 -a 120 -w "$tmp" "$text2"
sox "$tmp" -r 16000 -c 1 -b 16 -e signed-integer speech_female_16k.wav rate -h gain -n -3
