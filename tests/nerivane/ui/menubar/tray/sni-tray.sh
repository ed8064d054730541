#!/usr/bin/env bash
# The tray application with a StatusNotifierItem host: Xvfb, a private
# session bus and a stand-in org.kde.StatusNotifierWatcher (sni-host) that
# reads what a panel reads, inside a lab's client namespace (run through
# lab/run-lab-test). Checks: the item registers; its 22-pixel icon shows the
# latency digits legibly; the tooltip carries the verdict and the readout;
# the menu holds its items in order; Activate opens the popup and a second
# Activate closes it; the menu's quit ends the program through the normal
# quit path (history written). Exit 77 (skipped) where a tool is missing.
set -uo pipefail

bin="${NERIVANE_BIN_DIR:?}"
host="$bin/nerivane-test-sni-host"

source "$(dirname "$0")/session.sh"
require Xvfb xwininfo convert dbus-daemon dbus-send sqlite3 "$host"

start_session
mkdir -p "$work/sni"
"$host" serve "$work/sni" >"$work/host.log" 2>&1 &
pids+=($!)
wait_for 100 dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetNameOwner \
    string:org.kde.StatusNotifierWatcher || fail "the stand-in host did not start"

start_nerivane

item() { grep "^$1 " "$work/sni/item.txt" 2>/dev/null | cut -d' ' -f2-; }
wait_for 150 test -s "$work/sni/item.txt" || fail "no item registered"
# A measured value: the tooltip's readout shows milliseconds.
# The verdict and the values in words, as a screen reader would say them.
wait_for 300 bash -c "grep -qE '^title nerivane: Good\. Internet [0-9.]+ milliseconds, jitter [0-9.]+, loss [0-9]+ percent\.' '$work/sni/item.txt'" ||
    fail "no verdict and values in words in the tooltip: $(item title)"
echo "tooltip: $(item title) $(item text)"
[ -s "$work/sni/icon-22x22.png" ] || fail "no 22-pixel icon"
# On a dark panel: bright digits at least 8 pixels tall in two or more glyph columns.
convert "$work/sni/icon-22x22.png" -background '#303030' -flatten "$work/icon22.png"
legible_digits "$work/icon22.png" || fail "the 22-pixel icon is not legible (${w}x${h}, $runs columns)"
cp "$work/icon22.png" "${NERIVANE_PICTURES:-$work}/sni-icon-22.png" 2>/dev/null
echo "icons: $(ls "$work/sni" | grep -c '^icon-'), 22 px legible: bright area ${w}x${h} in $runs glyph columns"

# Sentence case; no update item in a build without an update feed.
expected='(Good)|-|Open nerivane|Pause for 1 hour|Settings…|-|Quit nerivane'
wait_for 100 bash -c "grep -qF 'menu $expected' '$work/sni/item.txt'" || fail "menu: $(item menu)"
echo "menu: $(item menu)"

popup_open() { xwininfo -root -tree | grep '("nerivane" "nerivane")' | grep -qE ' [0-9]{3}x[0-9]{2,3}\+'; }
"$host" activate "$work/sni" || fail "Activate failed"
wait_for 50 popup_open || fail "Activate did not open the popup"
"$host" activate "$work/sni" || fail "the second Activate failed"
wait_for 50 bash -c "! ( $(declare -f popup_open); popup_open )" || fail "a second Activate did not close the popup"
echo "Activate opens the popup, a second Activate closes it"

# The report comes from the running instance over the session bus.
report="$("$bin/nerivane" --diagnostics)" || fail "nerivane --diagnostics failed"
if grep -q "no instance is running" <<<"$report"; then fail "--diagnostics did not reach the running instance"; fi
grep -q "1.1.1.1" <<<"$report" || fail "the report names no target: $report"
echo "--diagnostics: $(grep -c . <<<"$report") lines from the running instance"

"$host" click "$work/sni" "Quit nerivane" || fail "no Quit nerivane item to click"
expect_quit
echo "1 passed, 0 failed"
