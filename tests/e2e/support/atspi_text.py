"""Prints the text of the showing widget with the given accessible name, as the desktop user.

    atspi_text.py APP NAME
"""
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def main():
    app_name, name = sys.argv[1], sys.argv[2]
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None or app.get_name() != app_name:
            continue
        for node in walk(app):
            if node.get_name() == name and node.get_state_set().contains(Atspi.StateType.SHOWING):
                text = node.get_text_iface()
                if text is not None:
                    sys.stdout.write(Atspi.Text.get_text(text, 0, Atspi.Text.get_character_count(text)))
                    return
    sys.exit(f"no showing text named {name!r} in {app_name!r}")


main()
