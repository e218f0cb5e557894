"""A desktop notification service for the end-to-end tests.

It owns org.freedesktop.Notifications on the session bus, appends every
Notify call as one JSON line to a record file, and takes commands on stdin:

    invoke ID KEY   emit ActionInvoked(ID, KEY), then NotificationClosed(ID, 2)
    close ID        emit NotificationClosed(ID, 3)

"ready" is printed once the name is owned. usage: fake_notifications.py RECORD_FILE
"""
import json
import sys

from gi.repository import Gio, GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"
XML = """
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  </interface>
</node>
"""


class Service:
    def __init__(self, record_path):
        self.record = open(record_path, "a", buffering=1)
        self.next_id = 1
        self.connection = None

    def emit(self, signal, params):
        self.connection.emit_signal(None, PATH, NAME, signal, params)

    def on_call(self, connection, sender, path, interface, method, params, invocation):
        if method == "Notify":
            app, replaces, icon, summary, body, actions, hints, timeout = params.unpack()
            nid = replaces or self.next_id
            if not replaces:
                self.next_id += 1
            self.record.write(json.dumps({
                "id": nid, "app_name": app, "replaces_id": replaces, "icon": icon, "summary": summary,
                "body": body, "actions": actions, "hints": hints, "timeout": timeout,
            }, default=repr, ensure_ascii=False) + "\n")
            invocation.return_value(GLib.Variant("(u)", (nid,)))
        elif method == "CloseNotification":
            self.emit("NotificationClosed", GLib.Variant("(uu)", (params.unpack()[0], 3)))
            invocation.return_value(None)
        elif method == "GetCapabilities":
            # Like most desktops' servers, it reads markup in bodies: what a client sends is what it shows.
            invocation.return_value(GLib.Variant("(as)", (["actions", "body", "body-markup"],)))
        elif method == "GetServerInformation":
            invocation.return_value(GLib.Variant("(ssss)", ("fake-notifications", "test", "1", "1.2")))

    def on_command(self, channel, condition):
        status, line, _, _ = channel.read_line()
        if status == GLib.IOStatus.EOF:
            sys.exit(0)
        words = (line or "").split()
        if len(words) == 3 and words[0] == "invoke":
            self.emit("ActionInvoked", GLib.Variant("(us)", (int(words[1]), words[2])))
            self.emit("NotificationClosed", GLib.Variant("(uu)", (int(words[1]), 2)))
        elif len(words) == 2 and words[0] == "close":
            self.emit("NotificationClosed", GLib.Variant("(uu)", (int(words[1]), 3)))
        self.connection.flush_sync(None)
        print("done", flush=True)
        return True


def main():
    service = Service(sys.argv[1])
    service.connection = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
    service.connection.register_object(PATH, info, service.on_call, None, None)
    loop = GLib.MainLoop()

    def acquired(*_):
        print("ready", flush=True)

    def lost(*_):
        print("name lost", file=sys.stderr, flush=True)
        loop.quit()

    Gio.bus_own_name_on_connection(service.connection, NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                                   acquired, lost)
    stdin = GLib.IOChannel.unix_new(sys.stdin.fileno())
    GLib.io_add_watch(stdin, GLib.PRIORITY_DEFAULT, GLib.IOCondition.IN | GLib.IOCondition.HUP,
                      service.on_command)
    loop.run()


if __name__ == "__main__":
    main()
