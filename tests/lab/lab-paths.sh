#!/usr/bin/env bash
# Routes of the client namespace under `vpn` and `link`, profiles shown by
# status, and the lab command's refusals. (The lab tests in C++ drive these
# verbs from inside the client namespace.)
source "$(dirname "$0")/common.sh"
need_lab
start_lab nvt-paths
veth4='default via 10.77.0.1 dev eth0' veth6='default via fe80::1 dev eth0' tun='default dev tun0'

# defaults_are V4 V6: the client's first IPv4 and IPv6 default routes start
# so; an empty one means there must be none.
defaults_are() {
    local v4 v6
    v4="$(in_lab ip -4 route show default | head -1)" v6="$(in_lab ip -6 route show default | head -1)"
    [[ ( -z "$1" && -z "$v4" || -n "$1" && "$v4" == "$1"* ) && ( -z "$2" && -z "$v6" || -n "$2" && "$v6" == "$2"* ) ]]
}

check "default routes via the router and fe80::1" defaults_are "$veth4" "$veth6"

L vpn on >/dev/null
check "vpn on: tun0 exists and is up" matches UP in_lab ip -br link show tun0
check "vpn on: tun0 carries both default routes" defaults_are "$tun" "$tun"
check "vpn on: traffic to the internet takes tun0" matches 'dev tun0' in_lab ip route get 1.1.1.1
check "vpn on: the veth keeps its IPv4 router" matches 'via 10.77.0.1' in_lab ip -4 route show default dev eth0
check "vpn on: the veth keeps its IPv6 router" matches 'via fe80::1' in_lab ip -6 route show default dev eth0
check "vpn on: pings through the tunnel are answered" test "$(loss 2 1.1.1.1)" = 0 -a "$(loss 2 2620:fe::fe)" = 0
check "vpn on: the router is still reached over the veth" test "$(loss 2 10.77.0.1)" = 0
L vpn on >/dev/null
check "vpn on twice keeps one tunnel responder" test "$(pgrep -fc -- "--dir /run/nerivane-lab/$name --role vpn")" = 1
L vpn off >/dev/null
refused "vpn off: tun0 is gone" in_lab ip link show tun0
check "vpn off: the default routes are the veth's again" defaults_are "$veth4" "$veth6"

L link down >/dev/null
check "link down: no default route at all" defaults_are "" ""
check "link down: eth0 is down" matches DOWN in_lab ip -br link show eth0
refused "link down: pings fail" in_lab ping -n -c 1 -W 1 1.1.1.1
L vpn on >/dev/null
check "link down: a VPN brought up meanwhile has no default route either" defaults_are "" ""
L link up >/dev/null
check "link up: the tunnel is the default route again" defaults_are "$tun" "$tun"
L vpn off >/dev/null
check "link up: default routes via the router and fe80::1" defaults_are "$veth4" "$veth6"
check "link up: the IPv6 address is back" matches 'fd77::2/64' in_lab ip -6 addr show dev eth0
check "link up: pings work again" test "$(loss 2 2606:4700:4700::1111)" = 0

L set router delay=30 >/dev/null
L set 2606:4700:4700:0:0::1111 delay=7 >/dev/null
check "status shows the router's profile" matches '^ +10\.77\.0\.1 +delay=30 ' L status
check "status shows fe80::1 with the router" matches '^ +fe80::1 +delay=30 ' L status
check "any spelling of an IPv6 address finds its profile" matches '^ +2606:4700:4700::1111 +delay=7 ' L status

# Refusals: a clear message and a failing exit code, nothing changed.
for verb in "set router mode=sometimes" "set router loss=150" "set router delay=-5" "set router speed=3" \
    "set 192.0.2.1 delay=5" "set silent.lab mode=answer" "set router" "link sideways" "vpn maybe" frobnicate; do
    if output="$(L $verb 2>&1)"; then
        fail "lab $verb should fail"
    elif [ -z "$output" ]; then
        fail "lab $verb fails without saying why"
    else
        pass "lab $verb is refused: $output"
    fi
done
check "refused settings changed nothing" matches '^ +10\.77\.0\.1 +delay=30 jitter=0 loss=0 mode=answer' L status
refused "verbs on a lab that is not up fail" "$lab" set router delay=1 --name nvt-nonexistent
finish
