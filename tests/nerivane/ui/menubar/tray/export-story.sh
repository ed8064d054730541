#!/usr/bin/env bash
# The export story as a person lives it, in a lab (run through
# lab/run-lab-test): nerivane in trayer's tray under Xvfb with a fresh
# history runs for three minutes while the lab's internet goes silent for
# 30 s in the middle. Then, with xdotool, both kinds of "Last Hour" export:
# a click on the tray item opens the popup, a click on the events card's
# export button its menu, the keys pick the kind and "Last Hour", and the
# real save dialog ("Export History") gets the file's path typed in and
# Return. Checks: each file equals nerivane-history's export of the same
# window; the outage is in the events file and its minutes show internet
# losses in the measurements file; the popup lists it as one incident, not
# one row per host (its snapshot's events text); nerivane --diagnostics of the running
# instance lists it; the menu's quit ends the program cleanly. A screenshot
# of the open save dialog is kept. Exit 77 (skipped) where a tool is missing.
set -uo pipefail

bin="${NERIVANE_BIN_DIR:?}"
lab="${NERIVANE_LAB_CMD:?}"
lab_name="${NERIVANE_LAB:?}"
# The story's length and its outage, in seconds from the start.
story="${NERIVANE_STORY_SECONDS:-180}"
outage_from=$((story * 2 / 5)) outage_for=30

source "$(dirname "$0")/session.sh"
require Xvfb trayer xdotool xwininfo import convert dbus-daemon sqlite3 "$bin/nerivane-history"
pictures="${NERIVANE_PICTURES:-$work}"

# Tall enough for the whole popup without scrolling, the dialog beside it.
start_session 1024x1200
start_trayer
# The dialog opens in the Documents folder of a home of the test's own.
export HOME="$work/home"
mkdir -p "$HOME/Documents" "$work/exports"
# A picture of the popup, and its incident rows as text, once the outage is stored.
export NERIVANE_POPOVER_SNAPSHOT="$work/popup-snapshot.png" NERIVANE_POPOVER_DELAY=$((story - 15))
start_nerivane
started="$(date +%s)"
find_tray_item
cx=$((x0 + width / 2)) cy=$((y0 + height / 2))

until_second() { local left=$((started + $1 - $(date +%s))); [ "$left" -le 0 ] || sleep "$left"; }

# ---------------------------------------------------------------- the story

until_second "$outage_from"
"$lab" set --name "$lab_name" internet mode=silent >/dev/null || fail "lab set failed"
echo "$(date -u +%T) internet silent for $outage_for s"
until_second $((outage_from + outage_for))
"$lab" reset --name "$lab_name" >/dev/null || fail "lab reset failed"
echo "$(date -u +%T) internet back"
outage_stored() { [ "$(sqlite3 "$NERIVANE_HISTORY" "select count(*) from events where kind = 'outage'")" -gt 0 ]; }
wait_for 900 outage_stored || fail "no outage in the history 90 s after the internet came back"
until_second "$story"

# ---------------------------------------------------------------- the export

# The popup: nerivane's window of that name taller than a menu, as "W H X Y".
popup_geometry() {
    xwininfo -root -tree | awk '/"nerivane": \("nerivane" "nerivane"\)/ {
        for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+\+[0-9-]+\+[0-9-]+$/) { split($i, g, "[x+]") }
        if (g[2] > 200) { print g[1], g[2], g[3], g[4]; found = 1; exit } }
        END { exit !found }'
}
windows() { xwininfo -root -tree | grep -c '("nerivane" "nerivane")'; }
more_windows_than() { [ "$(windows)" -gt "$1" ]; }
dialog_focused() { [ "$(xdotool getwindowfocus getwindowname 2>/dev/null)" = "Export History" ]; }
dialog_gone() { ! xdotool search --name '^Export History$' >/dev/null 2>&1; }
# Inside a minute's first 40 s: the export's moment and the file's end in one minute.
early_in_minute() { local s; s="$(date +%S)"; [ "${s#0}" -ge 2 ] && [ "${s#0}" -le 40 ]; }

# Finds the export button in a screenshot of the open popup. The events card
# is the column's last card: the last run of card colour (20 pixels or more)
# down a line just inside the cards' left edge, left of their texts; the
# button is the content at the right end of its title row. Sets $bx, $by,
# $bw, $bh when two screenshots in a row agree (the popup has settled).
export_button() {
    local w h px py top found
    read -r w h px py < <(popup_geometry) || return 1
    import -window root "$work/popup.png" || return 1
    top="$(convert "$work/popup.png" -crop "1x${h}+$((px + 16))+${py}" +repage txt:- | awk -v y0="$py" '
        NR == 2 { bg = $3 } NR > 1 { y = NR - 2 + y0
            if ($3 != bg && $3 == last) { run++ } else { if (run >= 20) top = start; run = ($3 != bg); start = y }
            last = $3 } END { if (run >= 20) top = start; print top }')"
    [ -n "$top" ] || return 1
    found="$(convert "$work/popup.png" -crop "48x28+$((px + w - 56))+${top}" -fuzz 8% -trim \
        -format '%w %h %X %Y' info: | tr -d +)"
    read -r bw bh bx by <<<"$found"
    [ "${bw:-0}" -ge 8 ] && [ "$bw" -le 30 ] && [ "$bh" -ge 8 ] && [ "$bh" -le 24 ] || { button=""; return 1; }
    [ "$found" = "${button:-}" ] && return 0
    button="$found"
    return 1
}

# Exports one kind for the last hour through the popup; $1 is the menu's
# row (1 Measurements, 2 Events), $2 the file. Sets $before and $after: the
# clock before Return in the dialog and once the file is there.
export_through_popup() {
    local row="$1" file="$2" keys=()
    wait_for 600 early_in_minute || fail "the clock stands still"
    xdotool mousemove "$cx" "$cy" click 1
    wait_for 50 popup_geometry || fail "a click on the tray item did not open the popup"
    button=""
    wait_for 100 export_button || fail "no export button at the events card's title (see $work/popup.png)"
    local n; n="$(windows)"
    xdotool mousemove $((bx + bw / 2)) $((by + bh / 2)) click 1
    wait_for 50 more_windows_than "$n" || fail "the export button opened no menu (see $work/popup.png)"
    for _ in $(seq "$row"); do keys+=(Down); done
    xdotool key "${keys[@]}" Right Return
    wait_for 100 dialog_focused || fail "no save dialog \"Export History\" with the keyboard's focus"
    import -window root "$pictures/export-dialog-$row.png"
    xdotool key ctrl+a
    xdotool type --delay 10 "$file"
    before="$(date +%s.%N)"
    xdotool key Return
    wait_for 300 test -s "$file" || fail "Return in the save dialog wrote no $file"
    after="$(date +%s.%N)"
    wait_for 50 dialog_gone || fail "the save dialog stayed open"
}

# The tool's export of the window ending at the app's moment, which lies
# between $before and $after: both ends must give the same file, and so
# must the app.
compare_with_tool() {
    local kind="$1" file="$2"
    "$bin/nerivane-history" export "$kind" --range hour --end "$before" >"$work/tool-before.csv" &&
        "$bin/nerivane-history" export "$kind" --range hour --end "$after" >"$work/tool-$kind.csv" ||
        fail "nerivane-history export $kind failed"
    cmp -s "$work/tool-before.csv" "$work/tool-$kind.csv" || fail "the $kind export straddled a minute or an event"
    diff "$work/tool-$kind.csv" "$file" >"$work/diff-$kind.txt" ||
        fail "the app's $kind export differs from nerivane-history's: $(head -20 "$work/diff-$kind.txt")"
    echo "$kind: $(($(wc -l <"$file") - 1)) rows, equal to nerivane-history export $kind --range hour --end $after"
}

measurements="$work/exports/measurements-last-hour.csv"
events="$work/exports/events-last-hour.csv"
export_through_popup 1 "$measurements"
compare_with_tool measurements "$measurements"
export_through_popup 2 "$events"
compare_with_tool events "$events"

# ---------------------------------------------------------------- the outage

outages="$(grep -c ',outage,' "$events")"
[ "$outages" -ge 1 ] || fail "no outage in the events file: $(cat "$events")"
echo "events file: $(grep ',outage,' "$events" | head -3 | tr '\n' ' ')"
# Every minute the first outage touches shows losses of the internet hosts;
# the router kept answering, so none of its probes were lost then.
read -r from to < <(grep -m1 ',outage,' "$events" | awk -F, '{ print $1, $2 }')
from="$(date -d "$from" +%s)" to="$(date -d "$to" +%s)"
read -r minutes lost bad router_lost < <(awk -F, -v from="$from" -v to="$to" 'NR > 1 && $4 != "" {
        cmd = "date -d " $1 " +%s"; cmd | getline t; close(cmd)
        if (t + 60 <= from || t >= to) next
        if ($4 == "router") router += $8
        if ($5 ~ /^(1\.1\.1\.1|8\.8\.8\.8)$/) { minutes[t] = 1; lost[t] += $8 } }
    END { for (t in minutes) { n++; total += lost[t]; if (lost[t] == 0) bad++ }
        print n + 0, total + 0, bad + 0, router + 0 }' "$measurements")
[ "${minutes:-0}" -ge 1 ] && [ "$bad" -eq 0 ] && [ "$lost" -ge 20 ] ||
    fail "the outage's minutes show no internet losses (minutes $minutes, lost $lost, without loss $bad)"
[ "$router_lost" -eq 0 ] || fail "the router lost $router_lost probes in the outage's minutes"
echo "measurements file: the outage's $minutes minutes show $lost lost internet probes, none to the router"

# One outage on 1.1.1.1, 8.8.8.8 and the IPv6 partner is one incident row.
rows="$work/popup-snapshot.png.events.txt"
wait_for 300 test -s "$rows" || fail "the popup's snapshot wrote no $rows"
[ "$(grep -c '^Internet down' "$rows")" -eq 1 ] && ! grep -q '^Outage' "$rows" ||
    fail "the outage is not one incident in the popup: $(cat "$rows")"
cp "$work/popup-snapshot.png" "$pictures/export-story-popup.png" 2>/dev/null
echo "popup: $(grep '^Internet down' "$rows")"

report="$("$bin/nerivane" --diagnostics)" || fail "nerivane --diagnostics failed"
grep -q ' outage ' <<<"$report" || fail "the running instance's report lists no outage"
echo "--diagnostics: the running instance lists $(grep -c ' outage ' <<<"$report") outage events"

# ---------------------------------------------------------------- the end

xdotool mousemove "$cx" "$cy" click 3
wait_for 50 more_windows_than 1 || fail "a right click showed no menu"
xdotool key Up Return
expect_quit
echo "1 passed, 0 failed"
