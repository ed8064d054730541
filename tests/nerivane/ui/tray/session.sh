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

start_session() {
    exec 3>"$work/display"
    Xvfb -displayfd 3 -screen 0 640x360x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -1 "$work/display")"
    dbus-daemon --session --address="unix:path=$work/bus" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
    pids+=($!)
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
    wait_for 100 test -S "$work/bus" || fail "dbus-daemon did not start"
}

# Sets $app to its process id.
start_nerivane() {
    export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" NERIVANE_HISTORY="$work/history.sqlite"
    export LC_ALL=C.UTF-8
    mkdir -p "$XDG_CONFIG_HOME/nerivane"
    # The first-run card would open the popup by itself.
    printf '[General]\ndidShowFirstRun=true\n' >"$XDG_CONFIG_HOME/nerivane/nerivane.conf"
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
