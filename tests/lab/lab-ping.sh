#!/usr/bin/env bash
# iputils ping inside the lab sees the profiles that lab/lab set gives.
source "$(dirname "$0")/common.sh"
need_lab
name=nvt-ping
start_lab "$name"
L() { "$lab" "$@" --name "$name"; }
in_lab() { "$lab" exec --name "$name" "$@"; }

L set 1.1.1.1 delay=20 jitter=0 >/dev/null
median="$(in_lab ping -n -c 21 -i 0.05 -W 2 1.1.1.1 | median_of)"
check "delay=20 gives a median of 20 +- 1 ms (got $median)" within "$median" 19 21

L set 1.1.1.1 delay=0 loss=20 >/dev/null
loss="$(in_lab ping -n -q -c 200 -i 0.01 -W 1 1.1.1.1 | loss_of)"
check "loss=20 over 200 pings loses 10-30 % (got $loss)" within "$loss" 10 30

L set 8.8.8.8 delay=50 jitter=20 >/dev/null
times="$(in_lab ping -n -c 20 -i 0.05 -W 2 8.8.8.8 | grep -o 'time=[0-9.]*' | cut -d= -f2 | sort -n)"
low="$(head -1 <<<"$times")" high="$(tail -1 <<<"$times")"
check "delay=50 jitter=20 stays within 30-70 ms, with scheduling slack (got $low-$high)" \
    awk -v a="$low" -v b="$high" 'BEGIN { exit !(a != "" && a >= 29 && b <= 80) }'
check "jitter spreads the replies (got $low-$high)" awk -v a="$low" -v b="$high" 'BEGIN { exit !(b - a > 5) }'

L set router loss=100 >/dev/null
check "a router that drops its own pings still forwards" \
    test "$(in_lab ping -n -q -c 3 -i 0.2 -W 1 10.77.0.1 | loss_of)" = 100 -a \
    "$(in_lab ping -n -q -c 3 -i 0.2 -W 1 9.9.9.9 | loss_of)" = 0
L reset >/dev/null

check "silent.lab answers no ping" test "$(in_lab ping -n -q -c 4 -i 0.2 -W 1 silent.lab | loss_of)" = 100
check "tcp-only.lab answers no ping" test "$(in_lab ping -n -q -c 4 -i 0.2 -W 1 tcp-only.lab | loss_of)" = 100
check "tcp-only.lab accepts TCP on port 443" \
    in_lab timeout 3 bash -c 'exec 3<>/dev/tcp/203.0.113.10/443'
check "silent.lab does not accept TCP on port 443" \
    bash -c "! '$lab' exec --name $name timeout 2 bash -c 'exec 3<>/dev/tcp/203.0.113.20/443' 2>/dev/null"

for host in 2606:4700:4700::1111 2001:4860:4860::8888 2620:fe::fe fd77::1 fe80::1%eth0 router.lab one.lab; do
    check "$host answers" test "$(in_lab ping -n -q -c 3 -i 0.2 -W 1 "$host" | loss_of)" = 0
done

L set 2606:4700:4700::1111 mode=silent >/dev/null
check "silencing an IPv6 host leaves its IPv4 partner alone" \
    test "$(in_lab ping -n -q -c 2 -i 0.2 -W 1 2606:4700:4700::1111 | loss_of)" = 100 -a \
    "$(in_lab ping -n -q -c 2 -i 0.2 -W 1 1.1.1.1 | loss_of)" = 0
L set 9.9.9.9 mode=duplicate >/dev/null
dups="$(in_lab ping -n -c 3 -i 0.2 -W 1 9.9.9.9 | grep -c 'DUP!')"
check "duplicate mode shows as ping duplicates (got $dups)" test "$dups" -ge 2
L set 8.8.8.8 delay=0 jitter=0 mode=late >/dev/null
late="$(in_lab ping -n -c 1 -W 4 8.8.8.8 | median_of)"
check "late mode answers after 2 s (got $late ms)" within "$late" 2000 4000
L set 1.1.1.1 mode=corrupt >/dev/null
check "corrupt replies are not accepted" test "$(in_lab ping -n -q -c 2 -i 0.2 -W 1 1.1.1.1 | loss_of)" = 100

L reset >/dev/null
check "reset: everything answers promptly again" \
    test "$(in_lab ping -n -q -c 2 -i 0.2 -W 1 1.1.1.1 | loss_of)" = 0 -a \
    "$(in_lab ping -n -q -c 2 -i 0.2 -W 1 2606:4700:4700::1111 | loss_of)" = 0
finish
