#!/usr/bin/env bash
# probe_accuracy.sh: how closely the round-trip times that nerivane-probe
# reports agree with those of iputils ping and fping, on one lab target that
# answers after 20 ms +- 5 ms. All three run one after the other, inside a lab
# instance of this script's own, which it takes down again.
#
#   bench/probe_accuracy.sh            120 probes each, nerivane at its 1 s interval
#   COUNT=60 INTERVAL=0.2 bench/probe_accuracy.sh
#
# Prints the median and 95th percentile (nearest rank) of each tool and the
# differences nerivane-probe minus ping and minus fping, in milliseconds. The
# lab draws each delay at random, so those differences carry the sampling
# noise of 120 draws; beside them, each tool's time above the delay the lab
# chose for the very same request, which is free of it.
# Needs root (network namespaces) and a build: NERIVANE_BIN_DIR, default build/bin.
bench=probe_accuracy
name="${LAB_NAME:-nvb-accuracy}"
count="${COUNT:-120}"
interval="${INTERVAL:-1}"
target=1.1.1.1
source "$(dirname "${BASH_SOURCE[0]}")/lab-common.sh"
need nerivane-probe fping
whole_number COUNT "$count"
start_lab
"$lab" set "$target" delay=20 jitter=5 --name "$name" >/dev/null

# The responder logs the delay it chose for every request: "... -> 1.1.1.1
# seq N: answer in D ms". Each tool's part of that log is cut out by line
# count, so that every reported time can be set against the lab's own delay.
log="$("$lab" status --name "$name" | sed -n 's/^ *internet pid [0-9]*, log //p')"
[ -f "$log" ] || die "lab status names no internet responder log"
mark() { wc -l <"$log"; }
delays() { tail -n +"$(($1 + 1))" "$log" | sed -n "s/.* -> $target seq \([0-9]*\): answer in \([0-9.]*\) ms.*/\1 \2/p"; }

# nerivane-probe: long enough for `count` measured replies of the target.
seconds="$(awk -v c="$count" -v i="$interval" 'BEGIN { printf "%d", c * (i < 1 ? i : 1) + (i < 1 ? 3 : i) + 2 }')"
echo "nerivane-probe: ${seconds} s at interval ${interval} s" >&2
start="$(mark)"
in_lab "$NERIVANE_BIN_DIR/nerivane-probe" --seconds "$seconds" --interval "$interval" \
    --internet "$target" --no-ipv6 >"$work/nerivane.out"
delays "$start" >"$work/nerivane.delays"
awk '$2 == "result" && $3 == "internet[0]" && $4 == "icmp" && $6 == "reply" { sub("seq=", "", $5); print $5, $7 }' \
    "$work/nerivane.out" | head -n "$count" >"$work/nerivane.pairs"

echo "ping: ${count} probes, 0.2 s apart" >&2
start="$(mark)"
in_lab ping -n -i 0.2 -c "$count" "$target" >"$work/ping.out" || true
delays "$start" >"$work/ping.delays"
sed -n 's/.* icmp_seq=\([0-9]*\) .* time=\([0-9.]*\) ms.*/\1 \2/p' "$work/ping.out" >"$work/ping.pairs"

# fping numbers the probes of a single target from 0, in the packet too.
echo "fping: ${count} probes, 0.2 s apart" >&2
start="$(mark)"
in_lab fping -C "$count" -p 200 "$target" >"$work/fping.out" 2>/dev/null || true
delays "$start" >"$work/fping.delays"
sed -n 's/.* : \[\([0-9]*\)\], [0-9]* bytes, \([0-9.]*\) ms.*/\1 \2/p' "$work/fping.out" >"$work/fping.pairs"

for tool in nerivane ping fping; do
    awk '{ print $2 }' "$work/$tool.pairs" >"$work/$tool"
    # Reported time minus the lab's delay for the same request.
    awk 'NR == FNR { delay[$1] = $2; next } ($1 in delay) { print $2 - delay[$1] }' \
        "$work/$tool.delays" "$work/$tool.pairs" >"$work/$tool.excess"
done

# n, median and p95 by nearest rank: the value at rank max(ceil(q n), 1).
summary() {
    sort -g "$1" | awk '
        { v[NR] = $1 }
        function rank(q,   r) { r = q * NR; r = (r == int(r)) ? r : int(r) + 1; return r < 1 ? 1 : r }
        END { if (NR == 0) { print 0, "nan", "nan"; exit } printf "%d %.3f %.3f\n", NR, v[rank(0.5)], v[rank(0.95)] }'
}

row() {
    local label="$1" tool="$2" n med p95 matched emed ep95
    read -r n med p95 < <(summary "$work/$tool")
    read -r matched emed ep95 < <(summary "$work/$tool.excess")
    printf '%-16s %7s %9s %9s   %7s %9s %9s\n' "$label" "$n" "$med" "$p95" "$matched" "$emed" "$ep95"
    eval "n_$tool=$n med_$tool=$med p95_$tool=$p95"
}

echo "target $target answering after 20 ms +- 5 ms (lab $name), times in ms"
printf '%-16s %7s %9s %9s   %-27s\n' "" "" "" "" "above the lab's own delay"
printf '%-16s %7s %9s %9s   %7s %9s %9s\n' tool replies median p95 matched median p95
row nerivane-probe nerivane
row "ping -i 0.2" ping
row "fping -p 200" fping
awk -v m="$med_nerivane" -v p="$p95_nerivane" -v mr="$med_ping" -v pr="$p95_ping" \
    'BEGIN { printf "nerivane-probe minus ping:  median %+.3f ms, p95 %+.3f ms\n", m - mr, p - pr }'
awk -v m="$med_nerivane" -v p="$p95_nerivane" -v mr="$med_fping" -v pr="$p95_fping" \
    'BEGIN { printf "nerivane-probe minus fping: median %+.3f ms, p95 %+.3f ms\n", m - mr, p - pr }'
[ "$n_nerivane" -eq "$count" ] || echo "note: nerivane-probe gave $n_nerivane replies, not $count" >&2
