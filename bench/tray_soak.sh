#!/usr/bin/env bash
# tray_soak.sh: the tray application's resident memory over a long run, used
# as a person would: nerivane in trayer's XEmbed tray under Xvfb, inside a lab
# of this script's own, while the lab's faults cycle, the popup is opened by a
# click on the tray item (and closed by a second one) and the metrics endpoint
# is scraped every CLICK_EVERY seconds. Prints the resident memory once a
# minute (halfway between two clicks) as a table, then the growth after
# minute 10: memory that keeps growing past the warm-up shows there.
#
#   bench/tray_soak.sh                    60 minutes
#   bench/tray_soak.sh 15                 15 minutes
#   CLICK_EVERY=3 bench/tray_soak.sh 10   a quick look with many more openings
#
# Too long for CI, which never runs it. Other knobs: FAULT_EVERY (seconds per
# fault step, default 60), LAB_NAME (default nvsoak), NERIVANE_WRAP (a command
# put before nerivane, e.g. "heaptrack -o /tmp/nv"), SOAK_KEEP=FOLDER (keeps
# nerivane's log and the samples there). Needs root (network namespaces),
# Xvfb, trayer, xdotool, xwininfo, dbus-daemon and curl, and a build:
# NERIVANE_BIN_DIR, default build/bin.
bench=tray_soak

if [ "${1:-}" = --inside ]; then
    # The driver, in the lab's client namespace: $2 the outer scratch folder,
    # $3 the seconds to run.
    set -uo pipefail
    outer="$2" seconds="$3" every="${CLICK_EVERY:-30}"
    bin="${NERIVANE_BIN_DIR:?}"
    source "$(dirname "$0")/../tests/nerivane/ui/menubar/tray/session.sh"
    # Ended early: the session's clean-up still ends what it started.
    trap 'exit 143' TERM INT
    # The popup wholly on screen beside the panel, as on a desktop.
    start_session 1024x1200
    start_trayer
    export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" NERIVANE_HISTORY="$work/history.sqlite"
    export LC_ALL=C.UTF-8
    mkdir -p "$XDG_CONFIG_HOME/nerivane"
    printf '[General]\ndidShowFirstRun=true\ninterval=1\n' >"$XDG_CONFIG_HOME/nerivane/nerivane.conf"
    # shellcheck disable=SC2086
    ${NERIVANE_WRAP:-} "$bin/nerivane" --log --metrics 127.0.0.1:9101 >"$work/nerivane.out" 2>"$work/nerivane.err" &
    app=$!
    pids+=($app)
    find_tray_item
    # The wrapper's child, when there is one, is the program measured.
    measured="$(pgrep -P "$app" -x nerivane || echo "$app")"
    echo "$measured" >"$outer/app.pid"
    popup_open() { xwininfo -root -tree | grep '"nerivane" "nerivane"' | grep -qv " ${width}x${height}+"; }
    popup_closed() { ! popup_open; }
    cx=$((x0 + width / 2)) cy=$((y0 + height / 2))
    opened=0 missed=0 scraped=0
    end=$((SECONDS + seconds)) next=$SECONDS
    while [ "$SECONDS" -lt "$end" ]; do
        xdotool mousemove "$cx" "$cy" click 1
        if wait_for 50 popup_open; then
            # Open for a couple of refreshes, as someone reading it.
            sleep 2
            xdotool mousemove "$cx" "$cy" click 1
            wait_for 50 popup_closed || xdotool key Escape
            opened=$((opened + 1))
        else
            missed=$((missed + 1))
        fi
        curl -sf --max-time 5 http://127.0.0.1:9101/metrics >/dev/null && scraped=$((scraped + 1))
        echo "$opened $missed $scraped" >"$outer/counts"
        kill -0 "$app" 2>/dev/null || { cp "$work/nerivane.err" "$outer/" 2>/dev/null; exit 1; }
        next=$((next + every))
        while [ "$SECONDS" -lt "$next" ]; do sleep 0.5; done
    done
    [ -n "${SOAK_KEEP:-}" ] && cp "$work/nerivane.err" "$SOAK_KEEP/" 2>/dev/null
    kill -TERM "$app"
    wait "$app"
    exit 0
fi

name="${LAB_NAME:-nvsoak}"
minutes="${1:-60}"
source "$(dirname "${BASH_SOURCE[0]}")/lab-common.sh"
need nerivane
whole_number MINUTES "$minutes"
for tool in Xvfb trayer xdotool xwininfo dbus-daemon curl; do
    command -v "$tool" >/dev/null || die "$tool is not installed (scripts/setup)"
done
start_lab

in_lab "$repo/bench/tray_soak.sh" --inside "$work" $((minutes * 60 + 30)) &
driver=$!
for _ in $(seq 300); do [ -s "$work/app.pid" ] && break; sleep 0.1; done
[ -s "$work/app.pid" ] || die "the tray application did not come up in the tray"
app="$(cat "$work/app.pid")"

# Faults in turn, one step every FAULT_EVERY seconds, for as long as it runs.
steps=("reset" "set internet mode=silent" "reset" "set router loss=30" "set internet delay=150 jitter=80"
    "reset" "link down" "link up" "set 1.1.1.1 mode=late" "set internet loss=50" "reset" "vpn on" "vpn off")
(
    trap 'exit 0' TERM
    while :; do
        for step in "${steps[@]}"; do
            # shellcheck disable=SC2086
            "$lab" $step --name "$name" >/dev/null 2>&1 || true
            sleep "${FAULT_EVERY:-60}" & wait $!
        done
    done
) &
faults=$!
trap 'kill "$faults" "$driver" 2>/dev/null || true; "$lab" down --name "$name" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$app/status" 2>/dev/null || true; }
echo "nerivane pid $app; ${minutes} min, popup and scrape every ${CLICK_EVERY:-30} s, a fault step every ${FAULT_EVERY:-60} s"
printf '%6s %10s %8s %8s %8s\n' minute "RSS KiB" opened missed scraped
: >"$work/samples"
# Clicks start with the driver's first turn, about now: each sample is taken
# halfway between two clicks, with the popup shut for a while, so that the
# samples compare like with like.
start=$((SECONDS + ${CLICK_EVERY:-30} / 2))
for minute in $(seq 0 "$minutes"); do
    while [ $((SECONDS - start)) -lt $((minute * 60)) ]; do sleep 1; done
    kb="$(rss)"
    [ -n "$kb" ] || die "nerivane ended at minute $minute: $(tail -5 "$work/nerivane.err" 2>/dev/null)"
    opened=0 missed=0 scraped=0
    if [ -s "$work/counts" ]; then read -r opened missed scraped <"$work/counts"; fi
    printf '%6d %10d %8d %8d %8d\n' "$minute" "$kb" "$opened" "$missed" "$scraped"
    echo "$minute $kb" >>"$work/samples"
done
if [ -n "${SOAK_KEEP:-}" ]; then cp "$work/samples" "$SOAK_KEEP/"; fi
kill "$faults" 2>/dev/null
wait "$driver" || true

awk -v bound=1953 '
    { kb[$1] = $2; last = $1 }
    END {
        if (last < 10) { printf "shorter than 10 minutes: no growth after minute 10\n"; exit }
        lo = hi = kb[10]
        for (m = 10; m <= last; m++) { if (kb[m] < lo) lo = kb[m]; if (kb[m] > hi) hi = kb[m] }
        printf "minute 10: %d KiB, minute %d: %d KiB, growth %+d KiB; after minute 10 min %d max %d, spread %d KiB (%.2f MB)\n",
            kb[10], last, kb[last], kb[last] - kb[10], lo, hi, hi - lo, (hi - lo) / 1024
        printf "%s: spread after minute 10 %s 2 MB\n", (hi - lo <= bound ? "flat" : "GROWING"), (hi - lo <= bound ? "within" : "beyond")
    }' "$work/samples"
