# Sourced by the tray harness scripts: a scratch folder removed at exit (kept
# with NERIVANE_KEEP=1), the processes started here ended at exit, waiting on
# conditions with a bound, and a desktop session of Xvfb and a private session
# bus, and nerivane started in it with scratch settings and history.

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
    echo "--- nerivane's log"; tail -20 "$work/nerivane.err" 2>/dev/null
    exit 1
}

# Skips the test (exit 77) unless every tool named is installed.
require() {
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null; then
            echo "skipped: $tool is not installed (scripts/setup installs it)"
            exit 77
        fi
    done
}

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
    local tenths="$1"; shift
    for _ in $(seq "$tenths"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# $1: the screen's size, 640x360 unless given.
start_session() {
    # Qt's runtime files stay in the scratch folder too.
    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -m 700 -p "$XDG_RUNTIME_DIR"
    exec 3>"$work/display"
    # -noreset: no server regeneration between the short-lived X tools' visits.
    Xvfb -displayfd 3 -screen 0 "${1:-640x360}x24" -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -1 "$work/display")"
    # The number can come before the server takes clients: a tray started
    # then found no display now and then.
    wait_for 100 xwininfo -root >/dev/null 2>&1 || fail "Xvfb does not answer on $DISPLAY"
    dbus-daemon --session --address="unix:path=$work/bus" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
    pids+=($!)
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
    wait_for 100 test -S "$work/bus" || fail "dbus-daemon did not start"
}

# A real XEmbed tray: trayer as a dark panel along the top, as the common
# desktops have.
start_trayer() {
    trayer --edge top --align right --widthtype request --height 28 --tint 0x303030 --transparent true --alpha 0 \
        >"$work/trayer.log" 2>&1 &
    pids+=($!)
    wait_for 100 bash -c "xwininfo -root -tree | grep -q '\"panel\"'" || fail "trayer did not start"
}

# The item in trayer's panel: our window there, at most 64 pixels square,
# as "WIDTH HEIGHT +X+Y"; fails while there is none.
tray_item() {
    xwininfo -root -tree | awk '/\("nerivane" "nerivane"\)/ {
        split($0, a, "  "); for (i in a) if (a[i] ~ /^[0-9]+x[0-9]+\+/) size = a[i];
        match($0, /\+[0-9-]+\+[0-9-]+$/); abs = substr($0, RSTART);
        split(size, s, "[x+]"); if (s[1] <= 64 && s[2] <= 64) { print s[1], s[2], abs; found = 1; exit } }
        END { exit !found }'
}

# Waits for the tray item; sets $width, $height and its place $x0, $y0.
find_tray_item() {
    wait_for 150 tray_item || fail "no tray item of icon size"
    local position
    read -r width height position < <(tray_item)
    x0="$(echo "$position" | cut -d+ -f2)"; y0="$(echo "$position" | cut -d+ -f3)"
    echo "tray item ${width}x${height} at $x0,$y0"
}

# Sets $app to its process id; $1: further lines for the settings file.
start_nerivane() {
    export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" NERIVANE_HISTORY="$work/history.sqlite"
    export LC_ALL=C.UTF-8
    mkdir -p "$XDG_CONFIG_HOME/nerivane"
    # The first-run card would open the popup by itself.
    printf '[General]\ndidShowFirstRun=true\n%s\n' "${1:-}" >"$XDG_CONFIG_HOME/nerivane/nerivane.conf"
    "$bin/nerivane" --log >"$work/nerivane.out" 2>"$work/nerivane.err" &
    app=$!
    pids+=($app)
}

# True when the picture's bright pixels (on a dark panel) form at least two
# separate glyph columns at least 8 pixels tall; sets $w, $h and $runs.
legible_digits() {
    local picture="$1" width
    width="$(convert "$picture" -format '%w' info:)"
    read -r w h < <(convert "$picture" -colorspace gray -threshold 60% -trim -format '%w %h\n' info:)
    runs="$(convert "$picture" -colorspace gray -threshold 60% -scale "${width}x1!" -threshold 1% txt:- |
        awk 'NR > 1 { on = ($0 ~ /#FFFFFF|white/); if (on && !was) n++; was = on } END { print n + 0 }')"
    [ "${h:-0}" -ge 8 ] && [ "$runs" -ge 2 ]
}

# Ends the program through the menu's quit (done by the caller before) and
# checks the normal quit path: exit 0, history written.
expect_quit() {
    for _ in $(seq 300); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$app" 2>/dev/null && fail "Quit nerivane did not end the program"
    wait "$app"; local status=$?
    [ "$status" -eq 0 ] || fail "the program ended with $status"
    grep -q "quitting on" "$work/nerivane.err" && fail "ended by a signal, not the menu"
    rows="$(sqlite3 "$NERIVANE_HISTORY" 'select count(*) from aggregates')"
    [ "${rows:-0}" -gt 0 ] || fail "no history written at quit"
    echo "menu quit: exit 0, $rows history rows written"
}
