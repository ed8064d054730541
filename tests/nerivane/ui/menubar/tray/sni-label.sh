#!/usr/bin/env bash
# The readout's text beside the tray icon (XAyatanaLabel), as the stand-in
# host reads it, inside a lab's client namespace (run through
# lab/run-lab-test). Checks: a measured "NNms" label appears, comes back
# when the panel (its watcher) restarts, and follows the internet's delay; pausing from the menu shows the pause mark, resuming
# takes it away; a silent internet shows the down mark; with the setting
# "show the value beside the icon" off, the item has no label; with both
# targets shown, both values share the label.
# Exit 77 (skipped) where a tool is missing.
set -uo pipefail

bin="${NERIVANE_BIN_DIR:?}"
host="$bin/nerivane-test-sni-host"
L() { "${NERIVANE_LAB_CMD:?}" "$@" --name "${NERIVANE_LAB:?}"; }

source "$(dirname "$0")/session.sh"
require Xvfb dbus-daemon dbus-send sqlite3 "$host"

start_session
mkdir -p "$work/sni"
start_host() {
    "$host" serve "$work/sni" >>"$work/host.log" 2>&1 &
    host_pid=$!
    pids+=($host_pid)
    wait_for 100 dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetNameOwner \
        string:org.kde.StatusNotifierWatcher || fail "the stand-in host did not start"
}
start_host

label() { grep '^label' "$work/sni/item.txt" 2>/dev/null | cut -c7-; }
# wait_label TENTHS EXTENDED-REGEX: until the whole label matches.
wait_label() { wait_for "$1" bash -c "grep -qE '^label $2\$' '$work/sni/item.txt'"; }
# Menu clicks race the host's own reading of the menu now and then: retried.
click() { wait_for 30 "$host" click "$work/sni" "$1"; }

L set internet delay=40 >/dev/null || fail "cannot reach the lab"
start_nerivane
wait_label 300 '4[0-9]ms' || fail "no 4Xms label at a 40 ms delay: '$(label)'"
echo "label at 40 ms: '$(label)'"
kill "$host_pid"; wait "$host_pid" 2>/dev/null
rm -f "$work/sni/item.txt"
start_host
wait_label 100 '4[0-9]ms' || fail "the item did not come back to a restarted watcher: '$(label)'"
echo "registered again with a restarted watcher"
[ -s "$work/sni/icon-22x22.png" ] && cp "$work/sni/icon-22x22.png" "${NERIVANE_PICTURES:-$work}/sni-label-icon-22.png" 2>/dev/null

L set internet delay=150 >/dev/null
wait_label 200 '1[5-6][0-9]ms' || fail "the label did not follow the delay to 150 ms: '$(label)'"
echo "label at 150 ms: '$(label)'"

click "Pause for 1 hour" || fail "no Pause for 1 hour item to click"
wait_label 50 '.*‖' || fail "no pause mark after pausing: '$(label)'"
echo "paused: '$(label)'"
click "Resume" || fail "no Resume item to click"
wait_label 100 '1[5-6][0-9]ms' || fail "the pause mark stayed after resuming: '$(label)'"

L set internet mode=silent >/dev/null
wait_label 300 '.*×' || fail "no down mark with a silent internet: '$(label)'"
echo "internet silent: '$(label)'"
L set internet mode=answer >/dev/null

click "Quit nerivane" || fail "no Quit nerivane item to click"
expect_quit

# The setting off, read at the next start: the item comes back without a label.
rm -f "$work/sni/item.txt"
start_nerivane 'trayLabel=false'
wait_for 300 bash -c "grep -q '^title nerivane: .*[0-9] milliseconds' '$work/sni/item.txt'" || fail "no measured value after the restart"
[ -z "$(label)" ] || fail "a label with the setting off: '$(label)'"
echo "setting off: no label, tooltip '$(grep '^title' "$work/sni/item.txt" | cut -c7-)'"
click "Quit nerivane" || fail "no Quit nerivane item to click"
expect_quit

rm -f "$work/sni/item.txt"
start_nerivane 'menuBarTarget=both'
wait_label 300 'R [0-9.]+ms · I 1[5-6][0-9]ms.*' || fail "no label with both values: '$(label)'"
echo "both targets: '$(label)'"
click "Quit nerivane" || fail "no Quit nerivane item to click"
expect_quit
echo "1 passed, 0 failed"
