#!/usr/bin/env bash
# The test network for calls between homes: an "internet" namespace with
# the directory server (and, at 11.0.9.1, the relay the test starts), and
# four homes, each a phone's namespace behind its own router namespace that
# masquerades its outside traffic. Routers A and B run miniupnpd (A's speaks
# UPnP IGD only, B's NAT-PMP only); routers C and D forward nothing, with an
# outside address in the carrier range 100.64.0.0/10, as a home behind a
# carrier's NAT or a mobile hotspot is. The test program drives the phones;
# this script builds the network, hands its names to the program and takes
# everything down again, whatever the outcome.
# usage: nat_call_test.sh TEST_PROGRAM PHONE_PROGRAM SERVER_PROGRAM [test arguments...]
# Exit 77 (skipped) only where network namespaces cannot be made.
set -uo pipefail
test_program=$(realpath "$1")
phone_program=$(realpath "$2")
server_program=$(realpath "$3")
shift 3

for tool in ip nft miniupnpd; do
    if ! command -v "$tool" >/dev/null && [[ ! -x /usr/sbin/$tool ]]; then
        echo "nat_call_test: $tool is missing (make deps installs it)" >&2
        exit 1
    fi
done
export PATH=$PATH:/usr/sbin

# Unique per run, so that parallel runs never meet.
id="kn$$x$RANDOM"
inet=$id-inet
routers=("$id-ra" "$id-rb" "$id-rc" "$id-rd")
homes=("$id-ha" "$id-hb" "$id-hc" "$id-hd")
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrona-nat.XXXXXX")

cleanup() {
    local ns pid
    for ns in "$inet" "${routers[@]}" "${homes[@]}"; do
        [[ -e /run/netns/$ns ]] || continue
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
        ip netns del "$ns" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

if ! ip netns add "$inet" 2>"$work/netns.err"; then
    echo "nat_call_test: skipped, network namespaces cannot be made here: $(cat "$work/netns.err")"
    exit 77
fi
set -e
for ns in "${routers[@]}" "${homes[@]}"; do ip netns add "$ns"; done
for ns in "$inet" "${routers[@]}" "${homes[@]}"; do ip -n "$ns" link set lo up; done
ip netns exec "$inet" sysctl -qw net.ipv4.ip_forward=1
# The relay's own address on the internet.
ip -n "$inet" addr add 11.0.9.1/32 dev lo

for i in 0 1 2 3; do
    n=$((i + 1))
    router=${routers[$i]}
    home=${homes[$i]}
    # The outside link: routers A and B are 11.0.n.7 on the internet (an
    # address that the router daemon takes for public), C and D 100.64.n.7.
    net=11.0.$n
    [[ $i -ge 2 ]] && net=100.64.$n
    ip -n "$inet" link add "up$n" type veth peer name wan netns "$router"
    ip -n "$inet" addr add "$net.1/24" dev "up$n"
    ip -n "$inet" link set "up$n" up
    ip -n "$router" addr add "$net.7/24" dev wan
    ip -n "$router" link set wan up
    ip -n "$router" route add default via "$net.1"
    # The home: the same private network behind both routers.
    ip -n "$router" link add lan type veth peer name eth0 netns "$home"
    ip -n "$router" addr add 192.168.1.1/24 dev lan
    ip -n "$router" link set lan up
    ip -n "$home" addr add 192.168.1.2/24 dev eth0
    ip -n "$home" link set eth0 up
    ip -n "$home" route add default via 192.168.1.1
    ip netns exec "$router" sysctl -qw net.ipv4.ip_forward=1
    # Nothing from outside gets in but answers and what miniupnpd forwards.
    ip netns exec "$router" nft -f - <<NFT
table inet filter {
    chain forward {
        type filter hook forward priority 0; policy drop;
        ct state established,related accept
        iifname "lan" oifname "wan" accept
        jump miniupnpd
    }
    chain miniupnpd {
    }
    chain prerouting {
        type nat hook prerouting priority -100; policy accept;
        jump prerouting_miniupnpd
    }
    chain postrouting {
        type nat hook postrouting priority 100; policy accept;
        jump postrouting_miniupnpd
        oifname "wan" masquerade
    }
    chain prerouting_miniupnpd {
    }
    chain postrouting_miniupnpd {
    }
}
NFT
    [[ $i -ge 2 ]] && continue
    if [[ $i -eq 0 ]]; then upnp=yes natpmp=no; else upnp=no natpmp=yes; fi
    cat >"$work/miniupnpd-$n.conf" <<CONF
ext_ifname=wan
listening_ip=lan
http_port=0
enable_upnp=$upnp
enable_natpmp=$natpmp
secure_mode=yes
system_uptime=yes
lease_file=$work/leases-$n
uuid=6b1f7c1e-2a4d-4e55-9c3b-00000000000$n
allow 1024-65535 192.168.1.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
    ip netns exec "$router" miniupnpd -d -f "$work/miniupnpd-$n.conf" -P "$work/miniupnpd-$n.pid" \
        >"$work/miniupnpd-$n.log" 2>&1 &
    echo $! >"$work/router-$n.pid"
    disown
done
set +e

# The phones and the server run in their namespaces: the test starts them
# through these wrappers, which enter the namespace that KESTRONA_NETNS names.
mkdir -p "$work/bin"
for program in "$phone_program" "$server_program"; do
    cat >"$work/bin/$(basename "$program")" <<WRAP
#!/bin/sh
if [ -n "\${KESTRONA_NETNS:-}" ]; then
    exec ip netns exec "\$KESTRONA_NETNS" "$program" "\$@"
fi
exec "$program" "\$@"
WRAP
    chmod +x "$work/bin/$(basename "$program")"
done

export KESTRONA_TEST_BINDIR=$work/bin
export KESTRONA_NAT_INET=$inet
export KESTRONA_NAT_ROUTERS="${routers[*]}"
export KESTRONA_NAT_HOMES="${homes[*]}"
export KESTRONA_NAT_ROUTER_PIDS="$work/router-1.pid $work/router-2.pid"
export KESTRONA_NAT_WORK=$work
"$test_program" "$@"
status=$?
if [[ $status -ne 0 ]]; then
    for n in 1 2; do
        echo "--- miniupnpd of router $n"
        tail -n 40 "$work/miniupnpd-$n.log"
    done
fi
exit $status
