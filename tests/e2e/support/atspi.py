"""Reads and drives an application's widgets through AT-SPI, as the desktop user.

    atspi.py APP dump          the accessible tree of APP as JSON
    atspi.py APP press NAME    do the first action of the showing widget named NAME
    atspi.py APP menu SECONDS  print "listening", then the items of the first popup
                               menu APP shows within SECONDS, as JSON

Popup menus are not children of the application's accessible tree; they are
reached through the event they send when they show.
"""
import json
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402


def find_app(name):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == name:
            return app
    return None


def describe(node, depth):
    try:
        ext = node.get_extents(Atspi.CoordType.SCREEN)
        extents = [ext.x, ext.y, ext.width, ext.height]
    except GLib.Error:
        extents = None
    return {"role": node.get_role_name(), "name": node.get_name(), "description": node.get_description(),
            "depth": depth, "extents": extents,
            "showing": node.get_state_set().contains(Atspi.StateType.SHOWING),
            "focused": node.get_state_set().contains(Atspi.StateType.FOCUSED)}


def walk(node, depth=0):
    yield node, describe(node, depth)
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child, depth + 1)


def press(app, name):
    for node, info in walk(app):
        if info["name"] == name and info["showing"] and node.get_n_actions() > 0:
            node.do_action(0)
            return
    sys.exit(f"no showing widget named {name!r}")


def menu(app_name, seconds):
    def on_event(event):
        source = event.source
        if event.detail1 != 1 or source.get_role_name() not in ("popup menu", "menu"):
            return
        if source.get_application().get_name() != app_name:
            return
        items = [describe(source.get_child_at_index(i), 1) for i in range(source.get_child_count())]
        print(json.dumps(items, ensure_ascii=False), flush=True)
        sys.exit(0)

    listener = Atspi.EventListener.new(on_event)
    listener.register("object:state-changed:showing")
    print("listening", flush=True)
    GLib.timeout_add(int(seconds * 1000), lambda: sys.exit("no popup menu showed"))
    Atspi.event_main()


def main():
    app_name, command = sys.argv[1], sys.argv[2]
    if command == "menu":
        return menu(app_name, float(sys.argv[3]))
    app = find_app(app_name)
    if app is None:
        sys.exit(f"no accessible application {app_name!r}")
    if command == "dump":
        print(json.dumps([info for _, info in walk(app)], ensure_ascii=False))
    elif command == "press":
        press(app, sys.argv[3])


main()
