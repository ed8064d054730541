#!/usr/bin/env bash
# The tray application with a StatusNotifierItem host: Xvfb, a private
# session bus and a stand-in org.kde.StatusNotifierWatcher (sni-host) that
# reads what a panel reads, inside a lab's client namespace (run through
# lab/run-lab-test). Checks: the item registers; its 22-pixel icon shows the
# latency digits legibly; the tooltip carries the verdict and the readout;
# the menu holds the specified items; Activate opens the popup and a second
# Activate closes it; the menu's quit ends the program through the normal
# quit path (history written). Exit 77 (skipped) where a tool is missing.
set -uo pipefail

bin="${NERIVANE_BIN_DIR:?}"
host="$bin/nerivane-test-sni-host"
for tool in Xvfb xwininfo convert dbus-daemon sqlite3 "$host"; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed (scripts/setup installs it)"
        exit 77
    fi
done

work="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    if [ -n "${NERIVANE_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- item as read"; cat "$work/sni/item.txt" 2>/dev/null
    echo "--- nerivane's log"; tail -20 "$work/nerivane.err" 2>/dev/null
    exit 1
}
wait_for() {
    local tenths="$1"; shift
    for _ in $(seq "$tenths"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 640x360x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$work/display")"
dbus-daemon --session --address="unix:path=$work/bus" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
wait_for 100 test -S "$work/bus" || fail "dbus-daemon did not start"
mkdir -p "$work/sni"
"$host" serve "$work/sni" >"$work/host.log" 2>&1 &
pids+=($!)
wait_for 100 dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetNameOwner \
    string:org.kde.StatusNotifierWatcher || fail "the stand-in host did not start"

export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" NERIVANE_HISTORY="$work/history.sqlite" LC_ALL=C.UTF-8
mkdir -p "$XDG_CONFIG_HOME/nerivane"
printf '[General]\ndidShowFirstRun=true\n' >"$XDG_CONFIG_HOME/nerivane/nerivane.conf"
"$bin/nerivane" --log >"$work/nerivane.out" 2>"$work/nerivane.err" &
app=$!
pids+=($app)

item() { grep "^$1 " "$work/sni/item.txt" 2>/dev/null | cut -d' ' -f2-; }
wait_for 150 test -s "$work/sni/item.txt" || fail "no item registered"
# A measured value: the tooltip's readout shows milliseconds.
wait_for 300 bash -c "grep -q '^title nerivane: Good.*[0-9]ms' '$work/sni/item.txt'" ||
    fail "no verdict and measured value in the tooltip"
echo "tooltip: $(item title) $(item text)"
[ -s "$work/sni/icon-22x22.png" ] || fail "no 22-pixel icon"
# On a dark panel: bright digits at least 8 pixels tall in two or more glyph columns.
convert "$work/sni/icon-22x22.png" -background '#303030' -flatten "$work/icon22.png"
read -r w h < <(convert "$work/icon22.png" -colorspace gray -threshold 60% -trim -format '%w %h\n' info:)
runs="$(convert "$work/icon22.png" -colorspace gray -threshold 60% -scale '22x1!' -threshold 1% txt:- |
    awk 'NR > 1 { on = ($0 ~ /#FFFFFF|white/); if (on && !was) n++; was = on } END { print n + 0 }')"
[ "${h:-0}" -ge 8 ] && [ "$runs" -ge 2 ] || fail "the 22-pixel icon is not legible (${w}x${h}, $runs columns)"
cp "$work/icon22.png" "${NERIVANE_PICTURES:-$work}/sni-icon-22.png" 2>/dev/null
echo "icons: $(ls "$work/sni" | grep -c '^icon-'), 22 px legible: bright area ${w}x${h} in $runs glyph columns"

expected='(Good)|-|Open nerivane|Pause for 1 Hour|Settings…|(Check for Updates…)|-|Quit nerivane'
wait_for 100 bash -c "grep -qF 'menu $expected' '$work/sni/item.txt'" || fail "menu: $(item menu)"
echo "menu: $(item menu)"

popup_open() { xwininfo -root -tree | grep '("nerivane" "nerivane")' | grep -qE ' [0-9]{3}x[0-9]{2,3}\+'; }
"$host" activate "$work/sni" || fail "Activate failed"
wait_for 50 popup_open || fail "Activate did not open the popup"
"$host" activate "$work/sni" || fail "the second Activate failed"
wait_for 50 bash -c "! ( $(declare -f popup_open); popup_open )" || fail "a second Activate did not close the popup"
echo "Activate opens the popup, a second Activate closes it"

"$host" click "$work/sni" "Quit nerivane" || fail "no Quit nerivane item to click"
for _ in $(seq 300); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "Quit nerivane did not end the program"
wait "$app"; status=$?
[ "$status" -eq 0 ] || fail "the program ended with $status"
rows="$(sqlite3 "$NERIVANE_HISTORY" 'select count(*) from aggregates')"
[ "${rows:-0}" -gt 0 ] || fail "no history written at quit"
echo "menu quit: exit 0, $rows history rows written"
echo "1 passed, 0 failed"
