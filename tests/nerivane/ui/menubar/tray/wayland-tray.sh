#!/usr/bin/env bash
# The tray application in a real Wayland session: sway (headless, pixman)
# with swaybar's tray as the StatusNotifierItem host, a private session bus,
# nerivane on Qt's wayland platform, all as an unprivileged user (sway will
# not run as root) inside a lab's client namespace (run through
# lab/run-lab-test). Checks: the item shows legible digits in the bar; the
# desktop file name is the window's app id; Activate (what the bar sends on
# a click) opens the compositor-placed popup, a second closes it; Escape
# closes it; losing the keyboard closes it; what the user types into a
# window beside it goes there while it is open; the menu's quit (a dbusmenu
# click, as the bar sends) ends the program with history written.
# Exit 77 (skipped) where a tool is missing or this is not root.
set -uo pipefail

bin="${NERIVANE_BIN_DIR:?}"
source "$(dirname "$0")/session.sh"
require sway swaybar swaymsg grim wtype dbus-daemon gdbus setpriv convert sqlite3 python3
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root to run the session as another user"; exit 77; }

user=nvwayland
if ! id "$user" >/dev/null 2>&1; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user" ||
        fail "could not create the user $user"
fi
home="$work/home"
mkdir -p "$home/runtime" "$home/config/nerivane" "$home/data"
chmod 700 "$home/runtime"
chmod 711 "$work"
# The first-run card would open the popup by itself.
printf '[General]\ndidShowFirstRun=true\n' >"$home/config/nerivane/nerivane.conf"
# The build tree may be out of this user's reach: the program and its
# desktop module, which it finds beside itself.
cp "$bin/nerivane" "$bin/nerivane-desktop.so" "$home/"
export HOME="$home" XDG_RUNTIME_DIR="$home/runtime" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data"
export NERIVANE_HISTORY="$home/history.sqlite" LC_ALL=C.UTF-8
export DBUS_SESSION_BUS_ADDRESS="unix:path=$home/runtime/bus"
export WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1
unset DISPLAY WAYLAND_DISPLAY SWAYSOCK
cat >"$home/sway.conf" <<'CONFIG'
output * resolution 800x600 background #3a5f7f solid_color
# A user's rule, for the typing check: never focus the popup on its own.
no_focus [app_id="org.nerivane.Nerivane"]
bar {
    position top
    height 28
    tray_output *
    colors {
        background #303030
    }
}
CONFIG
chown -R "$user:" "$home"
as_user() { setpriv --reuid="$user" --regid="$user" --clear-groups -- "$@"; }

as_user dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
pids+=($!)
wait_for 100 test -S "$home/runtime/bus" || fail "dbus-daemon did not start"
as_user sway -c "$home/sway.conf" >"$work/sway.log" 2>&1 &
pids+=($!)
wait_for 100 bash -c "ls '$home/runtime'/sway-ipc.*.sock" || { tail "$work/sway.log"; fail "sway did not start"; }
export SWAYSOCK="$(ls "$home/runtime"/sway-ipc.*.sock)"
export WAYLAND_DISPLAY="$(basename "$(ls "$home/runtime"/wayland-*.lock)" .lock)"
watcher() {
    as_user gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher "$1"
}
wait_for 100 watcher IsStatusNotifierHostRegistered || fail "swaybar's tray did not start"
# A keyboard plugged in for the whole session, as a desktop has: each wtype
# below adds a short-lived one, whose first keys a client that has not yet
# bound a keyboard would miss.
as_user wtype -s 600000 &
pids+=($!)
echo "sway $(sway --version | cut -d' ' -f3) on $WAYLAND_DISPLAY, bar $(as_user swaymsg -t get_bar_config | tr -d '[]" \n')"

QT_QPA_PLATFORM=wayland as_user "$home/nerivane" --log >"$work/nerivane.out" 2>"$work/nerivane.err" &
app=$!
pids+=($app)

# The bar's item: its bus name and object path, as swaybar's watcher lists it.
item_registered() { watcher RegisteredStatusNotifierItems | grep -q "'."; }
wait_for 150 item_registered || fail "no item registered with swaybar"
entry="$(watcher RegisteredStatusNotifierItems | grep -o "'[^']*'" | head -1 | tr -d "'")"
service="${entry%%/*}"; path="/${entry#*/}"
[ "$path" = "/$entry" ] && path=/StatusNotifierItem
echo "item: $service $path"

# Bright pixels of the picture (the item on the dark bar), rows that span it
# whole (an underline) left out: "ROWS GLYPH-COLUMNS".
glyph_columns() {
    convert "$1" -colorspace gray -threshold 60% txt:- | awk -F'[,: ]+' '
        NR > 1 { on = ($0 ~ /#FFFFFF|white/); grid[$2, $1] = on; n[$2] += on; if ($1 >= W) W = $1 + 1; if ($2 >= H) H = $2 + 1 }
        END { for (y = 0; y < H; y++) if (n[y] > 0 && n[y] < 0.8 * W) { rows++; for (x = 0; x < W; x++) if (grid[y, x]) col[x] = 1 }
              for (x = 0; x < W; x++) { if (col[x] && !was) runs++; was = col[x] } print rows + 0, runs + 0 }'
}
# The bar as the user sees it, the item rightmost on it: legible when its
# bright part is at least 8 pixels tall in two or more glyph columns.
bar_icon() {
    as_user grim -g "0,0 800x28" - >"$work/bar.png" &&
        convert "$work/bar.png" -crop 120x28+680+0 +repage -bordercolor '#303030' -border 1 -fuzz 8% -trim +repage \
            "$work/icon.png" 2>/dev/null && read -r rows runs < <(glyph_columns "$work/icon.png") && [ "$rows" -ge 8 ] && [ "$runs" -ge 2 ]
}
# Each look takes a while: once a second, for up to half a minute.
for _ in $(seq 30); do bar_icon && break; sleep 1; done
bar_icon || fail "no legible digits in the bar's tray (${rows:-0} rows, ${runs:-0} glyph columns)"
cp "$work/bar.png" "${NERIVANE_PICTURES:-$work}/wayland-bar.png" 2>/dev/null
echo "bar: the item is legible, $rows pixels tall in $runs glyph columns"

# The popup as sway has it: "name focused floating WxH+X+Y", or nothing.
popup() {
    as_user swaymsg -t get_tree | python3 -c '
import json, sys
def walk(node, floating=False):
    if node.get("app_id") == "org.nerivane.Nerivane":
        r = node["rect"]
        print(node.get("name"), node.get("focused"), floating, "%dx%d+%d+%d" % (r["width"], r["height"], r["x"], r["y"]))
    for child in node.get("nodes", []): walk(child, floating)
    for child in node.get("floating_nodes", []): walk(child, True)
walk(json.load(sys.stdin))'
}
popup_open() { [ -n "$(popup)" ]; }
popup_closed() { [ -z "$(popup)" ]; }
activate() {
    as_user gdbus call --session --dest "$service" --object-path "$path" --method org.kde.StatusNotifierItem.Activate 400 14 \
        >/dev/null || fail "Activate failed"
}

activate
wait_for 50 popup_open || fail "Activate did not open a window with app id org.nerivane.Nerivane"
read -r name focused floating geometry < <(popup)
[ "$name" = nerivane ] || fail "the popup's title is \"$name\""
[ "$floating" = True ] || fail "sway tiled the popup instead of floating it"
echo "popup: title $name, app id org.nerivane.Nerivane, floating at $geometry, keyboard focus $focused"
sleep 1  # the cards settle before the picture
as_user grim - >"$work/screen.png"
cp "$work/screen.png" "${NERIVANE_PICTURES:-$work}/wayland-popup.png" 2>/dev/null
activate
wait_for 50 popup_closed || fail "a second Activate did not close the popup"
echo "Activate opens the popup, a second Activate closes it"

activate
wait_for 50 popup_open || fail "Activate did not reopen the popup"
# The keys go where sway's keyboard focus is; clicked first if it is elsewhere.
popup_focused() { popup | grep -q ' True '; }
wait_for 30 popup_focused || fail "the popup never had the keyboard"
as_user wtype -k Escape || fail "wtype failed"
wait_for 50 popup_closed || fail "Escape did not close the popup"
echo "Escape closes the popup"

activate
wait_for 50 popup_open || fail "Activate did not reopen the popup"
as_user swaymsg workspace 2 >/dev/null || fail "swaymsg workspace failed"
wait_for 50 popup_closed || fail "the popup stayed open after the keyboard went elsewhere"
as_user swaymsg workspace 1 >/dev/null
echo "losing the keyboard closes the popup"

# What the user was typing into (a GTK entry that prints its text) keeps the
# keyboard while the popup opens: the popup never asks for it. (Sway gives it
# a new window unless a no_focus rule says otherwise; the config has one, and
# sway ignores it for the only window on a workspace, as above.)
cat >"$home/typist.py" <<'PY'
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk
GLib.set_prgname("typist")
window = Gtk.Window(title="typist")
entry = Gtk.Entry()
entry.connect("changed", lambda e: print(e.get_text(), flush=True))
window.add(entry)
window.show_all()
Gtk.main()
PY
GDK_BACKEND=wayland as_user /usr/bin/python3 "$home/typist.py" >"$work/typed.txt" 2>"$work/typist.err" &
pids+=($!)
# The app id of the window that has the keyboard.
focused_app() {
    as_user swaymsg -t get_tree | python3 -c '
import json, sys
def walk(node):
    if node.get("focused"): print(node.get("app_id"))
    for child in node.get("nodes", []) + node.get("floating_nodes", []): walk(child)
walk(json.load(sys.stdin))'
}
typing_focused() { [ "$(focused_app)" = typist ]; }
wait_for 100 typing_focused || fail "the typing window did not get the keyboard ($(focused_app) has it; $(tail -1 "$work/typist.err"))"
activate
wait_for 50 popup_open || fail "Activate did not open the popup beside the typing window"
as_user wtype abc || fail "wtype failed"
wait_for 30 grep -qx abc "$work/typed.txt" || fail "the popup took the keys meant for the typing window"
popup_open || fail "the popup closed while the user typed elsewhere"
# A click in the popup gives it the keyboard; Escape then closes it.
as_user swaymsg '[app_id="org.nerivane.Nerivane"] focus' >/dev/null
wait_for 30 popup_focused || fail "the popup did not take the keyboard when focused"
as_user wtype -k Escape
wait_for 50 popup_closed || fail "Escape did not close the popup after a click"
echo "typing elsewhere keeps the keyboard while the popup is open; once focused, Escape closes it"

# The menu's quit, clicked as the bar does: the id from GetLayout, then Event.
menu="$(as_user gdbus call --session --dest "$service" --object-path "$path" \
    --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem Menu | grep -o "'/[^']*'" | tr -d "'")"
[ -n "$menu" ] || fail "the item has no menu"
as_user gdbus call --session --dest "$service" --object-path "$menu" --method com.canonical.dbusmenu.AboutToShow 0 >/dev/null
quit="$(as_user gdbus call --session --dest "$service" --object-path "$menu" --method com.canonical.dbusmenu.GetLayout -- 0 -1 '[]' |
    grep -oE "\(([0-9]+), \{[^{}]*'label': <'&?Quit nerivane'>" | grep -oE '^\([0-9]+' | tr -d '(')"
[ -n "$quit" ] || fail "no Quit nerivane in the menu"
as_user gdbus call --session --dest "$service" --object-path "$menu" --method com.canonical.dbusmenu.Event \
    "$quit" clicked '<"">' 0 >/dev/null || fail "the click on Quit nerivane failed"
expect_quit
echo "1 passed, 0 failed"
