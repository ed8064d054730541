#!/usr/bin/python3
# The popup as a screen reader meets it: on the at-spi registry of the
# session, nerivane's open popup must hold the verdict title, each card's
# host with the median's spoken form, and the footer's buttons. A second walk
# after the next snapshot must find the same card objects (the same D-Bus
# paths: updated in place, not rebuilt). Prints what it found; exit 1 on a miss.
import re
import sys
import time

import gi
import pyatspi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

VERDICTS = ("Good", "Measuring", "Internet problem", "Internet down", "Local network problem", "Local network down",
            "Connection problem", "Connection down", "Offline")
SPOKEN_MS = re.compile(r"^\d+(\.\d+)? milliseconds$|^\d+(\.\d+)? seconds$")


def fail(text):
    print("FAIL: " + text)
    sys.exit(1)


def application(name, seconds=20):
    desktop = pyatspi.Registry.getDesktop(0)
    for _ in range(seconds * 10):
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_name() == name:
                return app
        time.sleep(0.1)
    fail("no application named %s in the registry" % name)


def walk(node, depth=0, found=None):
    """Every accessible under node as (path, role, name, description, depth, node)."""
    found = [] if found is None else found
    if node is None or depth > 40:
        return found
    try:
        found.append((node.path, node.get_role_name(), node.get_name() or "", node.get_description() or "", depth, node))
        for i in range(node.get_child_count()):
            walk(node.get_child_at_index(i), depth + 1, found)
    except GLib.Error:
        pass  # a widget gone while walking
    return found


def popup(app, seconds=20):
    """The popup's window: a top-level holding the footer's quit button."""
    for _ in range(seconds * 10):
        Atspi.Accessible.clear_cache(app)
        for i in range(app.get_child_count()):
            window = app.get_child_at_index(i)
            nodes = walk(window)
            if any(name == "Quit nerivane" for _, _, name, _, _, _ in nodes):
                return window, nodes
        time.sleep(0.1)
    fail("the popup is not in the accessibility tree (top-levels: %s)"
         % [app.get_child_at_index(i).get_role_name() for i in range(app.get_child_count())])


def cards(nodes):
    """Each target card by name: its host and its median (spoken form), with their paths."""
    result = {}
    for index, (path, _, name, _, depth, _) in enumerate(nodes):
        if name not in ("Internet", "Router"):
            continue
        inside = []
        for item in nodes[index + 1:]:
            if item[4] <= depth:
                break
            inside.append(item)
        # The host rows are the blocks named after their host; the median is
        # the value described "median" whose name is the spoken value.
        hosts = [(p, n) for p, _, n, d, _, _ in inside if n and re.match(r"^[0-9a-f.:]+$", n) and d != "median"]
        medians = [(p, n) for p, _, n, d, _, _ in inside if d == "median"]
        result[name] = {"card": path, "hosts": hosts, "medians": medians}
    return result


def main():
    app = application("nerivane")
    window, nodes = popup(app)
    if window.get_role_name() not in ("frame", "window") or window.get_name() != "nerivane":
        fail("the popup reads as a %s named %r, not the window nerivane" % (window.get_role_name(), window.get_name()))
    print("popup: %s with %d accessibles" % (window.get_role_name(), len(nodes)))

    titles = [(name, description) for _, _, name, description, _, _ in nodes if name in VERDICTS]
    if not titles:
        fail("no verdict title among %s" % sorted({n for _, _, n, _, _, _ in nodes if n})[:40])
    print("verdict: %s (%s)" % titles[0])

    first = cards(nodes)
    for name in ("Internet", "Router"):
        card = first.get(name)
        if card is None:
            fail("no %s card" % name)
        if not card["hosts"]:
            fail("the %s card names no host" % name)
        if not card["medians"] or not all(SPOKEN_MS.match(n) for _, n in card["medians"]):
            fail("the %s card's median is not spoken: %s" % (name, card["medians"]))
        print("%s card: hosts %s, median %s" % (name, [n for _, n in card["hosts"]], [n for _, n in card["medians"]]))

    buttons = {name for _, role, name, _, _, _ in nodes if role in ("push button", "toggle button")}
    for wanted in ("Copy diagnostics", "Settings", "Quit nerivane"):
        if wanted not in buttons:
            fail("no footer button %s among %s" % (wanted, sorted(buttons)))
    print("footer buttons: Copy diagnostics, Settings, Quit nerivane")

    # The next snapshot arrives every second: the same objects, maybe new words.
    time.sleep(2)
    Atspi.Accessible.clear_cache(app)
    second = cards(walk(window))
    for name, card in first.items():
        again = second.get(name)
        if again is None or again["card"] != card["card"]:
            fail("the %s card was rebuilt: %s, then %s" % (name, card["card"], again and again["card"]))
        if [p for p, _ in again["medians"]] != [p for p, _ in card["medians"]]:
            fail("the %s card's median objects changed" % name)
        print("%s card after 2 s: the same objects, median %s" % (name, [n for _, n in again["medians"]]))
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
