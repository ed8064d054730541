#!/usr/bin/env bash
# app_resources.sh: what `nerivane --console` costs while it probes six
# targets once a second: processor time (user + system, as a percentage of one
# core over the run) and peak resident memory, side by side with
# `fping -l -p 1000` on the same targets over the same span. Both run inside a
# lab instance of this script's own, which it takes down again.
#
#   bench/app_resources.sh               300 s
#   SECONDS_TO_RUN=60 bench/app_resources.sh
#
# The last line is the ratio of nerivane's processor time to fping's; the
# line before it, the provider tier's hop sweeps and their packets.
#
# Targets: the lab router 10.77.0.1, 1.1.1.1, 8.8.8.8 and 2606:4700:4700::1111
# (the defaults) and 9.9.9.9 and 2620:fe::fe as the two custom hosts. nerivane
# runs with settings and history of its own in a scratch folder and without
# any D-Bus service, so it touches nothing of this machine's.
# Needs root (network namespaces), GNU time and a build: NERIVANE_BIN_DIR,
# default build/bin.
bench=app_resources
name="${LAB_NAME:-nvb-app}"
duration="${SECONDS_TO_RUN:-300}"
source "$(dirname "${BASH_SOURCE[0]}")/lab-common.sh"
need nerivane nerivane-history fping gnu-time
whole_number SECONDS_TO_RUN "$duration"
start_lab
# Internet hosts slower than the router, as on a real line.
"$lab" set internet delay=8 --name "$name" >/dev/null

mkdir -p "$work/config/nerivane"
cat >"$work/config/nerivane/nerivane.conf" <<'INI'
[General]
interval=1
customHosts=9.9.9.9, 2620:fe::fe
INI

peak=1 against_fping "nerivane --console" nerivane env \
    -u NERIVANE_HOSTS -u NERIVANE_ON_BATTERY -u NERIVANE_LOCK_TEST \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent \
    XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" NERIVANE_HISTORY="$work/history.sqlite" \
    "$NERIVANE_BIN_DIR/nerivane" --console --exit-after "$duration"

read -r nv_user nv_sys <"$work/nerivane.time"
read -r fp_user fp_sys <"$work/fping.time"
nv_peak="$(tail -1 "$work/nerivane.peak")" fp_peak="$(tail -1 "$work/fping.peak")"
snapshots="$(grep -c '^[0-9:]\{8\}  ' "$work/nerivane.out" || true)"
# What it probed, from the history it wrote (the last minute is not exported).
addresses="$("$NERIVANE_BIN_DIR/nerivane-history" export measurements --range hour --db "$work/history.sqlite" |
    awk -F, '$5 != "" && NR > 1 { print $5 }' | sort -u | tr '\n' ' ')"
fp_replies="$(grep -c ' bytes, ' "$work/fping.out" || true)"

echo "nerivane targets: $addresses"
echo "fping targets:    ${targets[*]}"
printf '%-18s %8s %8s %8s %8s %10s %10s\n' program "user s" "sys s" "total s" "% core" "peak KiB" "lines"
row() {
    awk -v p="$1" -v u="$2" -v s="$3" -v m="$4" -v d="$duration" -v n="$5" \
        'BEGIN { printf "%-18s %8.2f %8.2f %8.2f %8.3f %10d %10d\n", p, u, s, u + s, (u + s) * 100 / d, m, n }'
}
row "nerivane --console" "$nv_user" "$nv_sys" "$nv_peak" "$snapshots"
row "fping -l -p 1000" "$fp_user" "$fp_sys" "$fp_peak" "$fp_replies"
# The provider's tier: the hop sweeps (8 TTLs a round, a second round for
# the hops that stayed silent) and the pings of the edge they found.
sweeps="$(grep -c 'sweeping the hops' "$work/nerivane.err" || true)"
sweep_packets="$({ grep -o 'hops [0-9][^;]*' "$work/nerivane.err" || true; } | awk '{ n += 8; for (i = 2; i <= NF; i++) if ($i ~ /=\*$/) n++ } END { print n + 0 }')"
provider_sent="$({ grep -o 'provider=[^ ]*' "$work/nerivane.err" || true; } | tail -1)"
echo "hop sweeps: $sweeps in ${duration} s, $sweep_packets packets sent; at rest 2 an hour (start, then every 30 min): $(awk -v s="$sweeps" -v p="$sweep_packets" 'BEGIN { printf "%d", (s > 0 ? 2 * p / s : 0) }') packets an hour${provider_sent:+; the edge probed as $provider_sent at 1 ping a second}"
# The figure to keep: processor time against fping's, the same run.
awk -v nu="$nv_user" -v ns="$nv_sys" -v fu="$fp_user" -v fs="$fp_sys" 'BEGIN {
    if (fu + fs > 0) printf "nerivane / fping processor time: %.2f\n", (nu + ns) / (fu + fs)
    else print "nerivane / fping processor time: - (fping used no measurable time)" }'
