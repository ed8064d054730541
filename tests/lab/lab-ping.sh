#!/usr/bin/env bash
# iputils ping inside the lab sees the profiles that lab/lab set gives. The
# answer modes themselves are checked with a prober's own sockets in
# inside/ResponderLabTest.cpp.
source "$(dirname "$0")/common.sh"
need_lab
start_lab nvt-ping

L set 1.1.1.1 delay=20 jitter=0 >/dev/null
median="$(in_lab ping -n -c 21 -i 0.05 -W 2 1.1.1.1 | times_of | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }')"
check "delay=20 gives a median of 20 +- 1 ms (got $median)" within "$median" 19 21

L set 1.1.1.1 delay=0 loss=20 >/dev/null
lost="$(in_lab ping -n -q -c 200 -i 0.01 -W 1 1.1.1.1 | loss_of)"
check "loss=20 over 200 pings loses 10-30 % (got $lost)" within "$lost" 10 30

L set 8.8.8.8 delay=50 jitter=20 >/dev/null
times="$(in_lab ping -n -c 20 -i 0.05 -W 2 8.8.8.8 | times_of)"
low="$(head -1 <<<"$times")" high="$(tail -1 <<<"$times")"
check "delay=50 jitter=20 stays within 30-70 ms, with scheduling slack (got $low-$high)" \
    awk -v a="$low" -v b="$high" 'BEGIN { exit !(a != "" && a >= 29 && b <= 80) }'
check "jitter spreads the replies (got $low-$high)" awk -v a="$low" -v b="$high" 'BEGIN { exit !(b - a > 5) }'
L reset >/dev/null

for host in 2606:4700:4700::1111 2001:4860:4860::8888 2620:fe::fe fd77::1 fe80::1%eth0 router.lab one.lab; do
    check "$host answers" test "$(loss 3 "$host")" = 0
done
# tcp-only.lab and silent.lab (203.0.113.10 and .20) and their IPv6 twins.
for host in silent.lab tcp-only.lab 2001:db8:77::10 2001:db8:77::20; do
    check "$host answers no ping" test "$(loss 4 "$host")" = 100
done
for host in 203.0.113.10 2001:db8:77::10; do
    check "tcp-only host $host accepts TCP on port 443" in_lab timeout 3 bash -c "exec 3<>/dev/tcp/$host/443"
done
for host in 203.0.113.20 2001:db8:77::20; do
    # Not refused either: the connection attempt times out (status 124).
    check "silent host $host leaves a TCP connection on port 443 unanswered" \
        test "$(in_lab timeout 2 bash -c "exec 3<>/dev/tcp/$host/443" 2>/dev/null; echo $?)" = 124
done
finish
