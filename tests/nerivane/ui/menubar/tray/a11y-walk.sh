#!/usr/bin/env bash
# The popup through a screen reader's eyes: Xvfb, a private session bus, a
# real at-spi2 accessibility bus and registry, the stand-in StatusNotifierItem
# host, and nerivane with Qt's accessibility bridge on, inside a lab's client
# namespace (run through lab/run-lab-test). Once the verdict is in, Activate
# opens the popup and a11y-walk.py reads it from the registry. Exit 77
# (skipped) where a tool is missing.
set -uo pipefail

bin="${NERIVANE_BIN_DIR:?}"
host="$bin/nerivane-test-sni-host"
launcher=/usr/libexec/at-spi-bus-launcher

source "$(dirname "$0")/session.sh"
require Xvfb xwininfo dbus-daemon dbus-send "$host" "$launcher"
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null ||
    { echo "skipped: python3-pyatspi is not installed (scripts/setup installs it)"; exit 77; }

start_session
# The accessibility bus of this session; its registry starts on demand.
"$launcher" --launch-immediately >"$work/atspi.log" 2>&1 &
pids+=($!)
wait_for 100 dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress ||
    fail "the accessibility bus did not start"

mkdir -p "$work/sni"
"$host" serve "$work/sni" >"$work/host.log" 2>&1 &
pids+=($!)
wait_for 100 dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetNameOwner \
    string:org.kde.StatusNotifierWatcher || fail "the stand-in host did not start"

export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
start_nerivane
wait_for 150 test -s "$work/sni/item.txt" || fail "no item registered"
wait_for 300 bash -c "grep -q '^title nerivane: Good' '$work/sni/item.txt'" || fail "no good verdict"

"$host" activate "$work/sni" || fail "Activate failed"
/usr/bin/python3 "$(dirname "$0")/a11y-walk.py" || fail "the accessibility walk"
