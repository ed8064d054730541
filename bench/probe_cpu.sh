#!/usr/bin/env bash
# probe_cpu.sh: the processor time nerivane-probe spends probing the six
# default targets once a second, against `fping -l -p 1000` probing the same
# targets over the same minute. Both run side by side inside a lab instance of
# this script's own, which it takes down again.
#
#   bench/probe_cpu.sh              60 s
#   SECONDS_TO_RUN=120 bench/probe_cpu.sh
#
# Targets: the lab router 10.77.0.1, 1.1.1.1, 8.8.8.8, 2606:4700:4700::1111
# (nerivane's defaults) and two custom hosts, 9.9.9.9 and 2620:fe::fe.
# Prints user+system seconds of each program and their ratio.
# Needs root (network namespaces) and a build: NERIVANE_BIN_DIR, default build/bin.
bench=probe_cpu
name="${LAB_NAME:-nvb-cpu}"
duration="${SECONDS_TO_RUN:-60}"
source "$(dirname "${BASH_SOURCE[0]}")/lab-common.sh"
need nerivane-probe fping
whole_number SECONDS_TO_RUN "$duration"
start_lab

against_fping nerivane-probe nerivane \
    "$NERIVANE_BIN_DIR/nerivane-probe" --seconds "$duration" --custom 9.9.9.9,2620:fe::fe

read -r nv_user nv_sys <"$work/nerivane.time"
read -r fp_user fp_sys <"$work/fping.time"
nv_results="$(grep -c ' result ' "$work/nerivane.out" || true)"
fp_replies="$(grep -c ' bytes, ' "$work/fping.out" || true)"
targets_line="$(grep -m1 ' targets ' "$work/nerivane.out" | sed 's/.* : //')"

echo "nerivane-probe targets: $targets_line"
echo "fping targets:          ${targets[*]}"
printf '%-26s %8s %8s %8s %9s\n' program "user s" "sys s" "total s" "results"
awk -v u="$nv_user" -v s="$nv_sys" -v n="$nv_results" \
    'BEGIN { printf "%-26s %8.3f %8.3f %8.3f %9d\n", "nerivane-probe", u, s, u + s, n }'
awk -v u="$fp_user" -v s="$fp_sys" -v n="$fp_replies" \
    'BEGIN { printf "%-26s %8.3f %8.3f %8.3f %9d\n", "fping -l -p 1000", u, s, u + s, n }'
awk -v a="$nv_user" -v b="$nv_sys" -v c="$fp_user" -v d="$fp_sys" \
    'BEGIN { if (c + d > 0) printf "ratio nerivane-probe / fping: %.2f\n", (a + b) / (c + d);
             else print "ratio nerivane-probe / fping: fping used no measurable time" }'
