#!/usr/bin/env bash
# The latency-under-load story, with the real program in a lab of its own
# whose uplink is a 20 Mbit/s bottleneck. Phase A, a lean 20 ms queue: a
# download, then an upload; both directions grade A or better. Then a copy to
# a host on the local link (the router), far faster than the uplink: the
# capacity stays the uplink's and the copy gets no grade. Phase B, a
# bloated 600 ms queue: an upload grades D or F with the queue beyond the
# router, the verdict turns "slow while busy" within 30 s of the load's start
# and good again within 30 s of its end, no outage is recorded, and the
# download keeps its grade from phase A. The history's grades agree with the
# terminal's JSON. About four minutes and a half.
source "$(dirname "$0")/common.sh"
need_lab
bin_dir="${NERIVANE_BIN_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build/bin}"
for program in nerivane nerivane-history; do
    [ -x "$bin_dir/$program" ] || { echo "FAIL: $bin_dir/$program is not built"; exit 1; }
done
command -v iperf3 >/dev/null || { echo "skipped: iperf3 is not installed (scripts/setup)"; exit 77; }
start_lab nvt-load
work="$(mktemp -d)"
program=""
trap '[ -n "$program" ] && kill "$program" 2>/dev/null; "$lab" down --name "$name" >/dev/null 2>&1; rm -rf "$work"' EXIT

L set internet delay=8 rate=20 buffer=20 >/dev/null
mkdir -p "$work/config" "$work/data"
in_lab env -i PATH="$PATH" HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" \
    XDG_RUNTIME_DIR="$work" LANG=C.UTF-8 "$bin_dir/nerivane" --json --exit-after 900 \
    >"$work/run.jsonl" 2>"$work/run.err" &
launcher=$!
# The program beneath the launch: the deepest of its single line of children.
program_of() {
    local pid="$1" child
    while child="$(ps -o pid= --ppid "$pid" | head -1 | tr -d ' ')" && [ -n "$child" ]; do pid="$child"; done
    echo "$pid"
}
sleep 1
program="$(program_of "$launcher")"

# get PATH...: fields of the last snapshot line so far ("load.upload.grade"),
# one a line, empty where absent.
get() {
    grep '"type":"snapshot"' "$work/run.jsonl" | tail -1 | python3 -c '
import json, sys
line = sys.stdin.read().strip()
snapshot = json.loads(line) if line else {}
for path in sys.argv[1:]:
    value = snapshot
    for key in path.split("."):
        value = value.get(key) if isinstance(value, dict) else None
    print("" if value is None else value)' "$@"
}
# wait_verdict VERDICT SECONDS [SINCE]: polls until the verdict is VERDICT,
# at most SECONDS after SINCE (default now).
wait_verdict() {
    local wanted="$1" limit="$2" since="${3:-$EPOCHREALTIME}"
    while [ "$(elapsed "$since")" -le "$limit" ]; do
        [ "$(get verdict)" = "$wanted" ] && return 0
        sleep 1
    done
    return 1
}
one_of() { [[ " $2 " == *" $1 "* ]]; }

check "good at first" wait_verdict good 60
# A quiet minute first: history's idle round trips come from minutes
# without busy replies, as the monitor's come from idle ones.
sleep $((61 - $(date +%s) % 60))

# Phase A: a lean queue.
L load download 20 >"$work/load-a-down.out" 2>&1 || fail "the download ran (see $(tail -1 "$work/load-a-down.out"))"
L load upload 40 >"$work/load-a-up.out" 2>&1 || fail "the upload ran (see $(tail -1 "$work/load-a-up.out"))"
sleep 2
read -r up down < <(get load.upload.grade load.download.grade | tr '\n' ' ')
echo "  phase A: upload ${up:-none} (+$(get load.upload.addedMs) ms), download ${down:-none} (+$(get load.download.addedMs) ms)"
check "a 20 ms queue grades the upload A or better" one_of "$up" "A+ A"
check "... and the download A or better" one_of "$down" "A+ A"
phase_a=("$up" "$down")

# A copy to the router's own namespace, as to a NAS on the local link: ten
# seconds at the local link's speed, hundreds of times the uplink's. It is no
# load on the internet path: the capacity stays the uplink's, the copy gets
# no grade, and phase B's upload is busy against the uplink.
ip netns exec "$name-r" iperf3 --server --one-off --bind 10.77.0.1 --port 5299 >"$work/copy-server.out" 2>&1 &
for _ in $(seq 50); do ip netns exec "$name-r" ss -Hltn "sport = :5299" | grep -q . && break; sleep 0.1; done
in_lab iperf3 --client 10.77.0.1 --port 5299 --time 10 >"$work/copy.out" 2>&1 || fail "the local copy ran (see $(tail -1 "$work/copy.out"))"
sleep 2
read -r capacity up < <(get load.capacity.uploadBitsPerSecond load.upload.grade | tr '\n' ' ')
echo "  local copy: $(awk '/sender/ { print $7, $8 }' "$work/copy.out"); upload capacity then $capacity bit/s, grade ${up:-none}"
check "the copy leaves the upload capacity the uplink's" awk -v c="$capacity" 'BEGIN { exit !(c > 0 && c < 40e6) }'
check "... and the upload's grade phase A's" test "$up" = "${phase_a[0]}"
# Phase B starts on a minute of its own, so that history's minutes before
# it hold phase A alone.
sleep $((61 - $(date +%s) % 60))
phase_b="$(date +%s)"

# Phase B: a bloated queue, filled by an upload.
L set internet buffer=600 >/dev/null
start="$EPOCHREALTIME"
L load upload 40 >"$work/load-b-up.out" 2>&1 &
load=$!
check "slow while busy within 30 s of the upload's start" wait_verdict slowWhileBusy 30 "$start"
echo "  (after $(elapsed "$start") s)"
wait "$load" || fail "the bloated upload ran (see $(tail -1 "$work/load-b-up.out"))"
end="$EPOCHREALTIME"
check "good again within 30 s of its end" wait_verdict good 30 "$end"
echo "  (after $(elapsed "$end") s)"
read -r up added queue down < <(get load.upload.grade load.upload.addedMs load.upload.queue load.download.grade | tr '\n' ' ')
echo "  phase B: upload ${up:-none} (+$added ms, queue ${queue:-none}), download ${down:-none}"
check "a 600 ms queue grades the upload D or F" one_of "$up" "D F"
check "... with the queue beyond the router" test "$queue" = beyondRouter
check "... while the download keeps its A or better" one_of "$down" "A+ A"
check "no outage was recorded" test "$(grep -c '"kind":"outage"' "$work/run.jsonl")" -eq 0

# History, once the program has ended and written its last minutes, grades
# the minutes before phase B as the JSON graded phase A.
kill -TERM "$program"
for _ in $(seq 30); do kill -0 "$program" 2>/dev/null || break; sleep 1; done
program=""
grades="$("$bin_dir/nerivane-history" grades --csv --range hour --end "$phase_b" \
    --db "$work/data/nerivane/history.sqlite" 2>&1)"
echo "$grades" | sed 's/^/  history before phase B: /'
graded() { awk -F, -v d="$1" '$1 == d && $2 == "internet" { print $7 }' <<<"$grades"; }
check "history's upload grade before phase B is the JSON's (${phase_a[0]})" test "$(graded upload)" = "${phase_a[0]}"
check "... and its download grade (${phase_a[1]})" test "$(graded download)" = "${phase_a[1]}"
finish
