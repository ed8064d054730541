#!/usr/bin/env bash
# Nothing in a lab can reach the machine's own network: no link leads out of
# the lab's namespaces, the internet namespace is a dead end, and name
# lookups are answered from the lab's hosts file or fail at once.
source "$(dirname "$0")/common.sh"
need_lab
links_before="$(own_links)"
start_lab nvt-iso
namespaces=("$name-c" "$name-r" "$name-p" "$name-i" "$name-s")

check "the machine's own namespace got no new links" test "$(own_links)" = "$links_before"
for ns in "${namespaces[@]}"; do
    # Every veth's peer lives in one of this lab's namespaces: ip names the
    # peer's namespace only when it has a name, which the machine's has not.
    while read -r line; do
        peer="$(sed -n 's/.*link-netns \([^ ]*\).*/\1/p' <<<"$line")"
        check "$ns: veth ${line%%:*} leads to a lab namespace (${peer:-none})" \
            bash -c "[[ ' ${namespaces[*]} ' == *' $peer '* ]]"
    done < <(ip -n "$ns" -o link show type veth | sed 's/^[0-9]*: //')
    others="$(ip -n "$ns" -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' |
        grep -vxE 'lo|eth0|c0|i0|r0|s0|tun0' || true)"
    check "$ns: no interfaces but loopback and the lab's veths (extra: ${others:-none})" test -z "$others"
done
check "the internet namespace has no default route" test -z "$(ip -n "$name-i" route show default; ip -n "$name-i" -6 route show default)"

# The machine's own router and resolver, read from its tables (not probed).
own=()
own+=($(ip -4 route show default | awk '{for (i = 1; i < NF; i++) if ($i == "via") print $(i + 1)}'))
own+=($(awk '$1 == "nameserver" {print $2}' /etc/resolv.conf))
own+=($(ip -4 -o addr show scope global | awk '{split($4, a, "/"); print a[1]}'))
own+=(192.168.1.1 172.16.0.1) # and a typical private network or two
for address in "${own[@]}"; do
    refused "no route out of the lab to $address" ip -n "$name-i" route get "$address"
done

check "the client's resolver is the lab's own DNS server" \
    test "$(in_lab awk '$1 == "nameserver" {print $2}' /etc/resolv.conf)" = 192.0.2.53
# A resolver service reached over a unix socket would resolve outside the lab.
check "the client looks names up in files and DNS only" \
    test "$(in_lab grep '^hosts:' /etc/nsswitch.conf)" = "hosts: files dns"
check "the client resolves .lab names from its hosts file" matches '^1\.1\.1\.1 ' in_lab getent ahostsv4 one.lab
check "... in both families" matches '^2606:4700:4700::1111 ' in_lab getent ahostsv6 one.lab
check "... tcp-only.lab too" matches '^203\.0\.113\.10 ' in_lab getent ahostsv4 tcp-only.lab
check "the lab's DNS server answers the probe name with a lab address" \
    matches '^203\.0\.113\.80 ' in_lab getent ahostsv4 example.com
for host in www.example.org one.one.one.one nerivane.invalid; do
    start="$EPOCHREALTIME"
    if in_lab getent hosts "$host" >/dev/null 2>&1; then
        fail "a lookup of $host succeeded inside the lab"
    else
        took="$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')"
        check "a lookup of $host fails at once ($took s)" within "$took" 0 0.8
    fi
done
finish
