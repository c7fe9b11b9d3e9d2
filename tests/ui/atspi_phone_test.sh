#!/usr/bin/env bash
# Runs the phone window on a virtual display with its own session and
# accessibility buses, and lets the AT-SPI client explore it in each
# language. Exit 77 (skipped) only when the buses cannot be started here.
set -u
host=$1
client=$2
# The system's Python, which has the distribution's AT-SPI bindings.
py=/usr/bin/python3
[[ -x "$py" ]] || py=$(command -v python3 || true)
for tool in xvfb-run dbus-run-session "$py"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is missing"
        exit 77
    fi
done
if ! "$py" -c 'import pyatspi' 2>/dev/null; then
    echo "SKIP: python3-pyatspi is missing"
    exit 77
fi
launcher=$(ls /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher 2>/dev/null | head -1)
if [[ -z "$launcher" ]]; then
    echo "SKIP: at-spi-bus-launcher is missing"
    exit 77
fi
export host client launcher py
export QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
export NO_AT_BRIDGE=0 GTK_MODULES=
# A display number of its own choosing: runs beside this one (another
# checkout's tests) would otherwise race for the first free one from 99.
exec xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1024x768x24" dbus-run-session -- bash -c '
    set -u
    "$launcher" --launch-immediately &
    bus=$!
    for i in $(seq 50); do
        busctl --user status org.a11y.Bus >/dev/null 2>&1 && break
        dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress \
            >/dev/null 2>&1 && break
        sleep 0.1
    done
    if ! dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress \
            >/dev/null 2>&1; then
        echo "SKIP: the accessibility bus does not start here"
        kill $bus 2>/dev/null
        exit 77
    fi
    # xvfb-run can return before the server takes connections; a phone
    # started then gives up on the display at once.
    for i in $(seq 100); do
        xdotool getdisplaygeometry >/dev/null 2>&1 && break
        sleep 0.1
    done
    if ! xdotool getdisplaygeometry >/dev/null 2>&1; then
        echo "FAIL: the virtual display $DISPLAY takes no connections after 10 s"
        kill $bus 2>/dev/null
        exit 1
    fi
    status=0
    for lang in en zh; do
        echo "== $lang"
        KESTRONA_LANG=$lang "$host" --show-phone &
        phone=$!
        "$py" "$client" "$lang" || status=1
        kill $phone 2>/dev/null
        wait $phone 2>/dev/null
    done
    kill $bus 2>/dev/null
    wait $bus 2>/dev/null
    exit $status
'
