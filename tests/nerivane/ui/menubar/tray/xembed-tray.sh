#!/usr/bin/env bash
# The tray application as a person meets it, with a real XEmbed tray: Xvfb,
# a private session bus and trayer, all inside a lab's client namespace
# (run through lab/run-lab-test; X and D-Bus are reached through socket
# files). Checks: the item appears in the tray; a screenshot of the tray
# shows the latency digits legibly; hovering shows the tooltip; the tray's own colours become the ink; a click opens the popup and a second
# click closes it; a second launch opens the first instance's popup and
# exits 0; the context menu's last item quits through the normal quit path
# (history written). Exit 77 (skipped) where a tool is missing.
set -uo pipefail

bin="${NERIVANE_BIN_DIR:?}"

source "$(dirname "$0")/session.sh"
require Xvfb trayer xdotool xwininfo xprop import convert dbus-daemon sqlite3

start_session
start_trayer

export NERIVANE_SNAPSHOT="$work/snapshot.png"
start_nerivane

find_tray_item

# Legible digits: wait for a measured value (not the dash), then the bright
# pixels of the item's screenshot must form at least two separate glyphs
# at least 8 pixels tall.
legible() {
    import -window root -crop "${width}x${height}+${x0}+${y0}" +repage "$work/tray.png" && legible_digits "$work/tray.png"
}
wait_for 300 legible || fail "the tray item shows no legible digits (see $work/tray.png)"
echo "legible digits: bright area ${w}x${h} px in $runs glyph columns"
cp "$work/tray.png" "${NERIVANE_PICTURES:-$work}/xembed-tray-item.png" 2>/dev/null
import -window root "${NERIVANE_PICTURES:-$work}/xembed-screen.png"

# Hovering shows the tooltip: the verdict and the values in words, a line
# far wider than the item (X cannot tell its text; the unit test checks it).
cx=$((x0 + width / 2)); cy=$((y0 + height / 2))
xdotool mousemove "$cx" "$cy"
tooltip() {
    xwininfo -root -tree | awk '/\("nerivane" "nerivane"\)/ {
        for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+\+[0-9-]+\+[0-9-]+$/) { split($i, g, "[x+]") }
        if (g[1] >= 200 && g[2] < 120) { print g[1], g[2], g[3], g[4]; found = 1; exit } }
        END { exit !found }'
}
wait_for 80 tooltip || fail "no tooltip after hovering over the item"
read -r tw th tx ty < <(tooltip)
import -window root -crop "${tw}x${th}+${tx}+${ty}" +repage "${NERIVANE_PICTURES:-$work}/xembed-tooltip.png"
echo "tooltip ${tw}x${th}"
xdotool mousemove 5 300
wait_for 50 bash -c "! ( $(declare -f tooltip); tooltip )" || fail "the tooltip stays"

# The tray's own colours win: a red foreground in _NET_SYSTEM_TRAY_COLORS (set
# on every top-level window, the tray selection's owner among them) turns the
# digits red at once.
for id in $(xwininfo -root -children | awk '/^ +0x/ { print $1 }'); do
    xprop -id "$id" -f _NET_SYSTEM_TRAY_COLORS 32c -set _NET_SYSTEM_TRAY_COLORS \
        65535,0,0,65535,0,0,65535,32768,0,0,65535,0 2>/dev/null
done
red() {
    import -window root -crop "${width}x${height}+${x0}+${y0}" +repage "$work/tray-red.png" &&
        [ "$(convert "$work/tray-red.png" -fx '(r > 0.7 && g < 0.3) ? 1 : 0' -format '%[fx:round(mean*w*h)]' info:)" -ge 10 ]
}
wait_for 50 red || fail "the tray's colours did not reach the item (see $work/tray-red.png)"
cp "$work/tray-red.png" "${NERIVANE_PICTURES:-$work}/xembed-tray-colours.png" 2>/dev/null
echo "the tray's own foreground colour is the ink"

popup_open() { xwininfo -root -tree | grep '"nerivane" "nerivane"' | grep -qv " ${width}x${height}+"; }
cx=$((x0 + width / 2)); cy=$((y0 + height / 2))
xdotool mousemove "$cx" "$cy" click 1
wait_for 50 popup_open || fail "a click did not open the popup"
import -window root "${NERIVANE_PICTURES:-$work}/xembed-popup.png"
xdotool mousemove "$cx" "$cy" click 1
wait_for 50 bash -c "! ( $(declare -f popup_open); width=$width height=$height popup_open )" ||
    fail "a second click did not close the popup"
echo "click opens the popup, a second click closes it"

# A second launch: the first instance's popup opens and the second ends with 0.
timeout 30 "$bin/nerivane" >"$work/second.out" 2>"$work/second.err"
status=$?
[ "$status" -eq 0 ] || fail "second launch exited $status: $(cat "$work/second.err")"
wait_for 50 popup_open || fail "a second launch did not open the first one's popup"
kill -0 "$app" || fail "the first instance ended"
echo "second launch: exit 0, popup of the first instance open"
xdotool key Escape
wait_for 50 bash -c "! ( $(declare -f popup_open); width=$width height=$height popup_open )" || fail "Escape did not close the popup"

# The context menu; its last item quits.
xdotool mousemove "$cx" "$cy" click 3
menu_open() { xwininfo -root -tree | grep -E '\("nerivane" "nerivane"\)' | grep -qv " ${width}x${height}+"; }
wait_for 50 menu_open || fail "a right click showed no menu"
sleep 0.3
import -window root "${NERIVANE_PICTURES:-$work}/xembed-menu.png"
xdotool key Up Return
expect_quit
[ -s "$NERIVANE_SNAPSHOT" ] || fail "no NERIVANE_SNAPSHOT picture"
echo "1 passed, 0 failed"
