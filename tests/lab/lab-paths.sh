#!/usr/bin/env bash
# Routes of the client namespace under `vpn` and `link`, lab verbs used from
# inside the client namespace, and the lab command's refusals.
source "$(dirname "$0")/common.sh"
need_lab
name=nvt-paths
start_lab "$name"
L() { "$lab" "$@" --name "$name"; }
in_lab() { "$lab" exec --name "$name" "$@"; }
first_default() { in_lab ip "$@" route show default | head -1; }

check "IPv4 default route via the router" bash -c "[[ '$(first_default -4)' == 'default via 10.77.0.1 dev eth0'* ]]"
check "IPv6 default route via fe80::1" bash -c "[[ '$(first_default -6)' == 'default via fe80::1 dev eth0'* ]]"

L vpn on >/dev/null
check "vpn on: tun0 exists and is up" bash -c "'$lab' exec --name $name ip -br link show tun0 | grep -q UP"
check "vpn on: tun0 carries the IPv4 default route" bash -c "[[ '$(first_default -4)' == 'default dev tun0'* ]]"
check "vpn on: tun0 carries the IPv6 default route" bash -c "[[ '$(first_default -6)' == 'default dev tun0'* ]]"
check "vpn on: traffic to the internet takes tun0" bash -c "'$lab' exec --name $name ip route get 1.1.1.1 | grep -q 'dev tun0'"
check "vpn on: the veth keeps its IPv4 router" \
    bash -c "'$lab' exec --name $name ip -4 route show default dev eth0 | grep -q 'via 10.77.0.1'"
check "vpn on: the veth keeps its IPv6 router" \
    bash -c "'$lab' exec --name $name ip -6 route show default dev eth0 | grep -q 'via fe80::1'"
check "vpn on: pings through the tunnel are answered" \
    test "$(in_lab ping -n -q -c 2 -i 0.2 -W 1 1.1.1.1 | loss_of)" = 0 -a \
    "$(in_lab ping -n -q -c 2 -i 0.2 -W 1 2620:fe::fe | loss_of)" = 0
check "vpn on: the router is still reached over the veth" \
    test "$(in_lab ping -n -q -c 2 -i 0.2 -W 1 10.77.0.1 | loss_of)" = 0
L vpn on >/dev/null
check "vpn on twice keeps one tunnel responder" test "$(pgrep -fc -- "--dir /run/nerivane-lab/$name --role vpn")" = 1
L vpn off >/dev/null
check "vpn off: tun0 is gone" bash -c "! '$lab' exec --name $name ip link show tun0 2>/dev/null"
check "vpn off: the default route is the veth's again" bash -c "[[ '$(first_default -4)' == 'default via 10.77.0.1 dev eth0'* ]]"

L link down >/dev/null
check "link down: no IPv4 default route" test -z "$(in_lab ip -4 route show default)"
check "link down: no IPv6 default route" test -z "$(in_lab ip -6 route show default)"
check "link down: eth0 is down" bash -c "'$lab' exec --name $name ip -br link show eth0 | grep -q DOWN"
check "link down: pings fail" bash -c "! '$lab' exec --name $name ping -n -c 1 -W 1 1.1.1.1 >/dev/null 2>&1"
L vpn on >/dev/null
check "link down: a VPN brought up meanwhile has no default route either" test -z "$(in_lab ip -4 route show default)"
L link up >/dev/null
check "link up: the tunnel is the default route again" bash -c "[[ '$(first_default -4)' == 'default dev tun0'* ]]"
L vpn off >/dev/null
check "link up: IPv4 default via the router" bash -c "[[ '$(first_default -4)' == 'default via 10.77.0.1 dev eth0'* ]]"
check "link up: IPv6 default via fe80::1" bash -c "[[ '$(first_default -6)' == 'default via fe80::1 dev eth0'* ]]"
check "link up: the IPv6 address is back" bash -c "'$lab' exec --name $name ip -6 addr show dev eth0 | grep -q 'fd77::2/64'"
check "link up: pings work again" test "$(in_lab ping -n -q -c 2 -i 0.2 -W 1 2606:4700:4700::1111 | loss_of)" = 0

# Other tests drive the lab from inside its client namespace.
check "set works from inside the client namespace" in_lab "$lab" set router delay=30 --name "$name"
median="$(in_lab ping -n -c 5 -i 0.1 -W 2 10.77.0.1 | median_of)"
check "... and takes effect (got $median ms)" within "$median" 29 40
check "link and vpn work from inside" bash -c "'$lab' exec --name $name '$lab' vpn on --name $name >/dev/null &&
    '$lab' exec --name $name '$lab' link down --name $name >/dev/null &&
    '$lab' exec --name $name '$lab' link up --name $name >/dev/null &&
    '$lab' exec --name $name '$lab' vpn off --name $name >/dev/null"
check "status shows the profile" bash -c "'$lab' status --name $name | grep -E '^ +10\.77\.0\.1 +delay=30 '"
check "status shows fe80::1 with the router" bash -c "'$lab' status --name $name | grep -E '^ +fe80::1 +delay=30 '"

L set 2606:4700:4700:0:0::1111 delay=7 >/dev/null
check "any spelling of an IPv6 address finds its profile" \
    bash -c "'$lab' status --name $name | grep -E '^ +2606:4700:4700::1111 +delay=7 '"

# Refusals: a clear message and a failing exit code, nothing changed.
refuses() {
    local output
    if output="$(L "$@" 2>&1)"; then
        fail "lab $* should fail"
    elif [ -z "$output" ]; then
        fail "lab $* fails without saying why"
    else
        pass "lab $* is refused: $output"
    fi
}
refuses set router mode=sometimes
refuses set router loss=150
refuses set router delay=-5
refuses set router speed=3
refuses set 192.0.2.1 delay=5
refuses set silent.lab mode=answer
refuses set router
refuses link sideways
refuses vpn maybe
refuses frobnicate
check "refused settings changed nothing" bash -c "'$lab' status --name $name | grep -E '^ +10\.77\.0\.1 +delay=30 jitter=0 loss=0 mode=answer'"
check "verbs on a lab that is not up fail" bash -c "! '$lab' set router delay=1 --name nvt-nonexistent 2>/dev/null"
finish
