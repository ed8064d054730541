#!/usr/bin/env bash
# A desktop without a tray host (stock GNOME without the AppIndicator
# extension): Xvfb and a private session bus, no tray, inside a lab's client
# namespace (run through lab/run-lab-test). Checks: nerivane opens an
# ordinary window within 5 s whose title then carries the readout; with
# another window over it, a second launch exits 0 within 5 s and the first
# window comes to the top; closing the window (Ctrl+W) quits through the normal quit
# path, the history written by the one monitor; next to a --console run a
# desktop launch says so in a message window and exits 0; a tray host that
# starts later (trayer) takes the item from the window. Exit 77 (skipped)
# where a tool is missing.
set -uo pipefail

bin="${NERIVANE_BIN_DIR:?}"

source "$(dirname "$0")/session.sh"
require Xvfb trayer xdotool xwininfo xmessage import dbus-daemon dbus-send sqlite3
pictures="${NERIVANE_PICTURES:-$work}"

start_session 640x720
start_nerivane
nerivane_window() { xdotool search --onlyvisible --name ' — nerivane$' 2>/dev/null | head -1; }
has_window() { [ -n "$(nerivane_window)" ]; }
wait_for 50 has_window || fail "no window within 5 s"
id="$(nerivane_window)"
echo "window $id: $(xdotool getwindowname "$id")"

# The readout in the title: "12 ms · Good — nerivane".
readout_title() { xdotool getwindowname "$id" | grep -qE '^[0-9.]+ (ms|s) · [A-Z].* — nerivane$'; }
wait_for 300 readout_title || fail "the title carries no readout: $(xdotool getwindowname "$id")"
echo "title: $(xdotool getwindowname "$id")"
# The picture once the first verdict is in.
wait_for 150 bash -c "xdotool getwindowname $id | grep -q ' · Good — '"
sleep 1
import -window root "$pictures/window-fallback.png"

# Another window over ours; a second launch brings ours back to the top
# (no window manager here: xwininfo lists the root's children top first).
xmessage -geometry 600x600+0+0 "in the way" &
pids+=($!)
cover() { xdotool search --onlyvisible --name '^xmessage$' 2>/dev/null | head -1; }
covered() { [ -n "$(cover)" ]; }
wait_for 50 covered || fail "xmessage did not start"
other="$(cover)"
above() {  # true when window $1 is stacked above window $2
    xwininfo -root -children | awk -v a="$(printf '0x%x' "$1")" -v b="$(printf '0x%x' "$2")" '
        $1 == a { ia = NR } $1 == b { ib = NR } END { exit !(ia && ib && ia < ib) }'
}
wait_for 50 above "$other" "$id" || fail "the other window did not cover ours"

second_started="$(date +%s.%N)"
timeout 5 "$bin/nerivane" >"$work/second.out" 2>"$work/second.err"
status=$?
[ "$status" -eq 0 ] || fail "second launch exited $status: $(cat "$work/second.err")"
echo "second launch: exit 0 after $(echo "$(date +%s.%N) - $second_started" | bc) s: $(cat "$work/second.err")"
grep -q "its window is open" "$work/second.err" || fail "the second launch did not reach the window"
grep -qi "history" "$work/second.err" && fail "the second launch touched the history"
wait_for 50 above "$id" "$other" || fail "a second launch did not raise the first window"
kill -0 "$app" || fail "the first instance ended"
echo "the first window is raised above the other"
import -window root "$pictures/window-raised.png"

# Closing the window (Ctrl+W, as in any window) quits.
xdotool windowfocus --sync "$id"
xdotool key --clearmodifiers ctrl+w
for _ in $(seq 300); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "closing the window did not end the program"
wait "$app"; status=$?
[ "$status" -eq 0 ] || fail "the program ended with $status"
rows="$(sqlite3 "$NERIVANE_HISTORY" 'select count(*) from aggregates')"
[ "${rows:-0}" -gt 0 ] || fail "no history written at quit"
echo "closing the window: exit 0, $rows history rows written"

# Next to a --console run, a desktop launch says so in a message window,
# starts no second monitor and exits 0 once it is read.
"$bin/nerivane" --console >"$work/console.out" 2>"$work/console.err" &
console=$!
pids+=($console)
owned() { dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetNameOwner \
    string:org.nerivane.Nerivane; }
wait_for 100 owned || fail "the --console run does not own the session's name"
"$bin/nerivane" >"$work/third.out" 2>"$work/third.err" &
third=$!
pids+=($third)
message() { xdotool search --onlyvisible --name '^nerivane$' 2>/dev/null | head -1; }
has_message() { [ -n "$(message)" ]; }
wait_for 50 has_message || fail "no message window beside the --console run: $(cat "$work/third.err")"
import -window root "$pictures/window-beside-console.png"
xdotool windowfocus --sync "$(message)"
xdotool key Return
wait_for 50 bash -c "! kill -0 $third" || fail "the message window's launch did not end"
wait "$third"; status=$?
[ "$status" -eq 0 ] || fail "the launch beside --console exited $status"
grep -q "already running in a terminal" "$work/third.err" || fail "no word of the terminal run: $(cat "$work/third.err")"
kill -0 "$console" || fail "the --console run ended"
kill -TERM "$console"; wait "$console"
echo "beside --console: a message window, exit 0, one monitor"

# A tray host that starts later takes the item from the window.
start_nerivane "didShowPanelHint=true"
wait_for 50 has_window || fail "no window on the next start"
start_trayer
find_tray_item
wait_for 50 bash -c "! ( $(declare -f nerivane_window has_window); has_window )" || fail "the window stayed beside the tray item"
echo "a tray host appeared: the window gave way to the item"
kill -TERM "$app"; wait "$app"
echo "1 passed, 0 failed"
