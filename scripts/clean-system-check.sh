#!/usr/bin/env bash
# What a new user meets after `apt install` on a minimal Debian 12: bootstraps
# a fresh system into a folder, installs the three packages with apt (which
# brings their dependencies from the archive, as on a user's machine), and as
# an ordinary user runs the directory server, the codec tool and the phone,
# offscreen and under Xvfb, with a screenshot of the first-run dialog.
#
# Not part of `make test`: it downloads a system. Run as root:
#   scripts/clean-system-check.sh [BUILD] [ROOT]
# BUILD holds the packages (built by `make package` when missing); ROOT is
# where the system goes (default: a fresh temporary folder, kept for a look).
# The screenshot is written to BUILD/clean-system/first-run.png.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$here/build}")
root=${2:-$(mktemp -d /tmp/kestrona-clean.XXXXXX)}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
out="$build/clean-system"
mkdir -p "$out"

[[ $(id -u) -eq 0 ]] || { echo "run as root (debootstrap and chroot need it)" >&2; exit 2; }
command -v debootstrap >/dev/null || apt-get install -y -qq --no-install-recommends debootstrap >/dev/null

shopt -s nullglob
debs=("$build"/kestrona*_*.deb)
if [[ ${#debs[@]} -ne 3 ]]; then
    echo "== building the packages"
    make -C "$here" package BUILD="$build" >/dev/null
    debs=("$build"/kestrona*_*.deb)
fi
[[ ${#debs[@]} -eq 3 ]] || { echo "expected three packages in $build" >&2; exit 1; }

mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT

if [[ ! -x "$root/usr/bin/apt-get" ]]; then
    echo "== debootstrap --variant=minbase bookworm into $root"
    debootstrap --variant=minbase bookworm "$root" "$mirror" >"$out/debootstrap.log" 2>&1 ||
        { tail -20 "$out/debootstrap.log"; exit 1; }
fi
for fs in proc sys dev dev/pts; do
    mkdir -p "$root/$fs"
    mount --bind "/$fs" "$root/$fs"
    mounted+=("$root/$fs")
done
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

echo "== installed before: $(in_root dpkg-query -W -f='.\n' | wc -l) packages"
mkdir -p "$root/tmp/debs"
cp "${debs[@]}" "$root/tmp/debs/"
echo "== apt install ./kestrona*.deb (with what they depend on, as apt chooses)"
in_root apt-get update -qq
inside=()
for deb in "${debs[@]}"; do inside+=("/tmp/debs/$(basename "$deb")"); done
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${inside[@]}" \
    >"$out/apt.log" 2>&1 || { tail -30 "$out/apt.log"; exit 1; }
echo "   installed after: $(in_root dpkg-query -W -f='.\n' | wc -l) packages"
for p in kestrona kestrona-server kestrona-codec; do
    echo "   $(in_root dpkg-query -W -f='${Package} ${Version}: ${Status}' "$p")"
done
echo "   CJK font: $(in_root sh -c 'dpkg-query -W -f="\${Package} " fonts-noto-cjk fonts-wqy-microhei 2>/dev/null' || true)"
echo "   Qt catalogue: $(in_root sh -c 'ls /usr/share/qt6/translations/qtbase_zh_CN.qm' 2>&1)"
# For the look under X only; a user's desktop brings its own.
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    xvfb x11-apps imagemagick >>"$out/apt.log" 2>&1 || { tail -30 "$out/apt.log"; exit 1; }

in_root sh -c 'id user >/dev/null 2>&1 || useradd -m -s /bin/sh user'
as_user() {
    chroot --userspec=user:user "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/home/user \
        LANG=zh_CN.UTF-8 XDG_RUNTIME_DIR=/tmp/user-run "$@"
}
as_user sh -c 'mkdir -p /tmp/user-run && chmod 700 /tmp/user-run'

echo "== the directory server, as a user"
as_user sh -c '
    cd /home/user
    kestrona-server --db /home/user/server/kestrona.db --listen 127.0.0.1 --port 10004 >server.log 2>&1 &
    echo $! >server.pid
    for i in $(seq 50); do [ -e /home/user/server/kestrona.db ] && break; sleep 0.1; done
    sleep 0.5
    echo "   server: $(head -1 server.log)"
    echo "   $(stat -c "%A %n" /home/user/server /home/user/server/kestrona.db*)"
'

echo "== the codec tool"
as_user sh -c '
    cd /home/user
    kestrona-codec 2>&1 | head -2 | sed "s/^/   /"
'
if [[ -f "$here/tests/data/speech_8k.wav" ]]; then
    cp "$here/tests/data/speech_8k.wav" "$root/home/user/speech.wav"
    chmod 644 "$root/home/user/speech.wav"
    as_user sh -c '
        cd /home/user
        kestrona-codec encode speech.wav speech.g729 && kestrona-codec decode speech.g729 back.wav &&
            echo "   $(stat -c "%s bytes %n" speech.wav speech.g729 back.wav | tr "\n" " ")"
    ' || echo "   codec round trip failed"
fi

echo "== the phone, offscreen"
as_user sh -c '
    cd /home/user
    QT_QPA_PLATFORM=offscreen kestrona --server 127.0.0.1:10004 >phone.log 2>&1 &
    echo $! >phone.pid
    sleep 3
    echo "   rpc status while the first-run dialog shows: $(kestrona rpc status 2>&1)"
    echo "   a second start: $(timeout 10 env QT_QPA_PLATFORM=offscreen kestrona 2>&1; echo "exit $?")"
    kill $(cat phone.pid) 2>/dev/null; sleep 1
    echo "   phone log: $(head -c 400 phone.log)"
    echo "   config folder: $(cd .config && find . -type f | sort | tr "\n" " ")"
'

echo "== the phone under Xvfb (Chinese locale)"
as_user sh -c '
    cd /home/user
    Xvfb :7 -screen 0 1024x768x24 -nolisten tcp >xvfb.log 2>&1 &
    echo $! >xvfb.pid
    sleep 2
    DISPLAY=:7 kestrona --server 127.0.0.1:10004 >phone-x.log 2>&1 &
    echo $! >phone-x.pid
    sleep 6
    DISPLAY=:7 import -window root first-run.png && echo "   screenshot taken"
    kill $(cat phone-x.pid) $(cat xvfb.pid) 2>/dev/null
    kill $(cat server.pid) 2>/dev/null
    true
'
cp "$root/home/user/first-run.png" "$out/first-run.png" 2>/dev/null &&
    echo "   screenshot: $out/first-run.png"
echo "== done; the system stays in $root"
