#!/usr/bin/env bash
# app_wakeups.sh: what the headless application costs the machine as a whole
# while it probes at a 1 s interval: processor time (user + system of all its
# threads, as a percentage of one core) and wakeups per second (voluntary and
# involuntary context switches of every thread, from /proc/PID/task/*/status),
# over a window after it settled. Runs `nerivane --console` inside a lab of
# its own with scratch settings and history, which go away at the end. Run it
# on two builds to compare them (the lead's before/after):
#
#   bench/app_wakeups.sh                                 60 s window
#   NERIVANE_BIN_DIR=/other/build/bin bench/app_wakeups.sh
#   SECONDS_TO_RUN=120 LOAD=upload bench/app_wakeups.sh  with a bulk transfer
#
# LOAD=upload|download runs `lab load` through a 20 Mbit/s bottleneck for the
# whole window, so the figures include the application's share of a busy link.
# TRAY=1 measures the tray application instead: nerivane in trayer's XEmbed
# tray under Xvfb with a private session bus (needs Xvfb, trayer, xwininfo and
# dbus-daemon). Threads that end inside the window are not counted; the thread
# count is shown, and so is the peak resident memory (VmHWM) at the window's end.
bench=app_wakeups

if [ "${1:-}" = --inside ]; then
    # TRAY=1's driver, in the lab's client namespace: $2 the outer scratch
    # folder (settings there already), $3 the seconds to run.
    set -uo pipefail
    outer="$2"
    source "$(dirname "$0")/../tests/nerivane/ui/menubar/tray/session.sh" || exit 1
    trap 'exit 143' TERM INT
    start_session || exit 1
    start_trayer || exit 1
    XDG_CONFIG_HOME="$outer/config" XDG_DATA_HOME="$outer/data" NERIVANE_HISTORY="$outer/history.sqlite" \
        "$NERIVANE_BIN_DIR/nerivane" --exit-after "$3" >"$outer/nerivane.out" 2>"$outer/nerivane.err" &
    echo $! >"$outer/app.pid"
    wait $!
    exit 0
fi
name="${LAB_NAME:-nvb-wake}"
duration="${SECONDS_TO_RUN:-60}"
settle="${SETTLE_SECONDS:-15}"
source "$(dirname "${BASH_SOURCE[0]}")/lab-common.sh"
need nerivane
whole_number SECONDS_TO_RUN "$duration"
whole_number SETTLE_SECONDS "$settle"
case "${LOAD:-}" in "" | upload | download) ;; *) die "LOAD must be upload or download" ;; esac
start_lab
"$lab" set internet delay=8 --name "$name" >/dev/null

mkdir -p "$work/config/nerivane"
printf '[General]\ninterval=1\ndidShowFirstRun=true\n' >"$work/config/nerivane/nerivane.conf"
if [ -n "${TRAY:-}" ]; then
    for tool in Xvfb trayer xwininfo dbus-daemon; do
        command -v "$tool" >/dev/null || die "$tool is not installed (scripts/setup)"
    done
    in_lab "$repo/bench/app_wakeups.sh" --inside "$work" $((settle + duration + 10)) &
    launcher=$!
    for _ in $(seq 300); do [ -s "$work/app.pid" ] && break; sleep 0.1; done
    pid="$(cat "$work/app.pid" 2>/dev/null)"
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = nerivane ] || die "the tray application did not start"
else
in_lab env -u NERIVANE_HOSTS -u NERIVANE_ON_BATTERY -u NERIVANE_LOCK_TEST \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent \
    XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" NERIVANE_HISTORY="$work/history.sqlite" \
    "$NERIVANE_BIN_DIR/nerivane" --console --exit-after $((settle + duration + 10)) \
    >"$work/nerivane.out" 2>"$work/nerivane.err" &
launcher=$!
# The program is the deepest of the launch's single line of children (the
# shell, lab exec, ip netns exec and nerivane).
for ((i = 0; i < 100; i++)); do
    pid="$launcher"
    while child="$(ps -o pid= --ppid "$pid" | head -1 | tr -d ' ')" && [ -n "$child" ]; do pid="$child"; done
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = nerivane ] && break
    sleep 0.05
done
[ "$(cat "/proc/$pid/comm" 2>/dev/null)" = nerivane ] || die "nerivane did not start: $(tail -3 "$work/nerivane.err")"
fi

# "ticks switches voluntary threads": processor ticks of the whole process,
# context switches (all, and the voluntary ones alone: the program's own
# sleeps, not preemption by other load) summed over its live threads.
sample() {
    local ticks switches
    ticks="$(awk '{ print $14 + $15 }' "/proc/$pid/stat")"
    switches="$(cat /proc/"$pid"/task/*/status 2>/dev/null |
        awk '/^(non)?voluntary_ctxt_switches:/ { s += $2 } /^voluntary_ctxt_switches:/ { v += $2 } END { print s + 0, v + 0 }')"
    echo "$ticks $switches $(ls "/proc/$pid/task" | wc -l)"
}

sleep "$settle"
if [ -n "${LOAD:-}" ]; then
    "$lab" set internet rate=20 buffer=100 --name "$name" >/dev/null
    "$lab" load "$LOAD" $((duration + 5)) --name "$name" >"$work/load.out" 2>&1 &
    sleep 2
fi
read -r ticks0 switches0 voluntary0 _ < <(sample)
start="$EPOCHREALTIME"
sleep "$duration"
read -r ticks1 switches1 voluntary1 threads < <(sample)
peak="$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")"
took="$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')"
wait "$launcher" || true

hz="$(getconf CLK_TCK)"
mode="--console"
[ -n "${TRAY:-}" ] && mode="in the tray"
echo "nerivane $mode at 1 s, ${duration} s window after ${settle} s${LOAD:+, during a 20 Mbit/s $LOAD}; binaries $NERIVANE_BIN_DIR"
printf '%-10s %10s %12s %10s %12s %8s %10s\n' "" "cpu s" "% core" "wakeups/s" "voluntary/s" threads "peak KiB"
awk -v t0="$ticks0" -v t1="$ticks1" -v s0="$switches0" -v s1="$switches1" -v v0="$voluntary0" -v v1="$voluntary1" \
    -v hz="$hz" -v d="$took" -v n="$threads" -v m="$peak" 'BEGIN { c = (t1 - t0) / hz
    printf "%-10s %10.2f %12.3f %10.2f %12.2f %8d %10d\n", "nerivane", c, c * 100 / d, (s1 - s0) / d, (v1 - v0) / d, n, m }'
