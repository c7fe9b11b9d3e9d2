#!/usr/bin/env bash
# make run: starts a local directory server when nothing answers at the
# phone's configured host and port, then the phone. The server started here
# stops again when the phone ends.
set -euo pipefail
build=${1:-build}
shift || true
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
phone="$build/ui/kestrona"
server="$build/server/kestrona-server"

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
    echo "make run: there is no display here (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
    echo "Start it from a desktop session, or try it without a window:" >&2
    echo "  QT_QPA_PLATFORM=offscreen make run" >&2
    exit 1
fi
for program in "$phone" "$server"; do
    if [[ ! -x "$program" ]]; then
        echo "make run: $program was not built" >&2
        exit 1
    fi
done

# Where the phone will look for its directory server (its settings file, or
# the defaults of a first start).
config_root=${KESTRONA_CONFIG_HOME:-${XDG_CONFIG_HOME:-$HOME/.config}}
settings="$config_root/Ostravine/Kestrona.conf"
setting() {
    [[ -f "$settings" ]] || return 0
    grep -i "^$1=" "$settings" | head -n 1 | cut -d= -f2- || true
}
host=$(setting Host)
port=$(setting HostPort)
host=${host:-127.0.0.1}
port=${port:-10004}

data=${XDG_DATA_HOME:-$HOME/.local/share}/kestrona
mkdir -p "$data"

listening() { (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; }

server_pid=
stop_server() {
    if [[ -n "$server_pid" ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
}
trap stop_server EXIT

if listening; then
    echo "make run: a directory server answers at $host:$port"
else
    case "$host" in
        127.*|localhost|::1|"$(hostname)") ;;
        *)
            echo "make run: nothing answers at $host:$port, and it is not this machine;" >&2
            echo "starting the phone anyway (it will report the server as unreachable)." >&2
            ;;
    esac
    if [[ "$host" == 127.* || "$host" == localhost || "$host" == "::1" || "$host" == "$(hostname)" ]]; then
        echo "make run: starting a directory server on port $port (database $data/directory.db," \
             "log $data/server.log)"
        "$server" --db "$data/directory.db" --port "$port" >>"$data/server.log" 2>&1 &
        server_pid=$!
        for _ in $(seq 1 100); do
            listening && break
            if ! kill -0 "$server_pid" 2>/dev/null; then
                echo "make run: the directory server did not start; see $data/server.log" >&2
                exit 1
            fi
            sleep 0.1
        done
    fi
fi

# The phone keeps its lists and recordings in $data/phone and finds its ring
# sounds and help beside the program; it needs no working folder of its own.
echo "make run: starting the phone (its files are in $data/phone)"
"$phone" "$@"
