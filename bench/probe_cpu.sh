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
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
lab="$repo/lab/lab"
export NERIVANE_BIN_DIR="${NERIVANE_BIN_DIR:-$repo/build/bin}"
name="${LAB_NAME:-nvb-cpu}"
duration="${SECONDS_TO_RUN:-60}"
targets=(10.77.0.1 1.1.1.1 8.8.8.8 2606:4700:4700::1111 9.9.9.9 2620:fe::fe)

die() {
    echo "probe_cpu: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || { echo "probe_cpu: skipped, the lab needs root"; exit 77; }
[ -x "$NERIVANE_BIN_DIR/nerivane-probe" ] || die "no nerivane-probe in $NERIVANE_BIN_DIR"
command -v fping >/dev/null || die "fping is not installed (scripts/setup)"
[[ "$duration" =~ ^[1-9][0-9]*$ ]] || die "SECONDS_TO_RUN must be a positive whole number"

work="$(mktemp -d)"
cleanup() {
    "$lab" down --name "$name" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$lab" down --name "$name" >/dev/null 2>&1 || true
"$lab" up --name "$name" >/dev/null

# Each program is timed by a shell inside the client namespace, so the time
# is the program's own (with its threads), not that of the lab script.
timed() {
    local out="$1"
    shift
    "$lab" exec --name "$name" bash -c 'TIMEFORMAT="%3U %3S"; time "$@" >"$0" 2>&1' "$out" "$@"
}

echo "running nerivane-probe and fping side by side for ${duration} s" >&2
timed "$work/nerivane.out" "$NERIVANE_BIN_DIR/nerivane-probe" --seconds "$duration" \
    --custom 9.9.9.9,2620:fe::fe 2>"$work/nerivane.time" &
nerivane=$!
timed "$work/fping.out" timeout -s INT "$duration" fping -l -p 1000 "${targets[@]}" 2>"$work/fping.time" &
fping=$!
wait "$nerivane" || die "nerivane-probe failed: $(cat "$work/nerivane.time")"
wait "$fping" || true

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
