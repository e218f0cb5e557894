"""Points Qt at the sandbox's accessibility bus.

Qt 6.4 ignores AT_SPI_BUS_ADDRESS for registering an application, so this
owns org.a11y.Bus on the session bus and answers GetAddress the way the
desktop's bus launcher does. "ready" is printed once the name is owned.
usage: a11y_bus.py ADDRESS
"""
import sys

from gi.repository import Gio, GLib

XML = """
<node>
  <interface name="org.a11y.Bus">
    <method name="GetAddress"><arg type="s" direction="out"/></method>
  </interface>
  <interface name="org.a11y.Status">
    <property name="IsEnabled" type="b" access="read"/>
    <property name="ScreenReaderEnabled" type="b" access="read"/>
  </interface>
</node>
"""


def main():
    address = sys.argv[1]
    connection = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    node = Gio.DBusNodeInfo.new_for_xml(XML)
    connection.register_object(
        "/org/a11y/bus", node.interfaces[0],
        lambda c, s, p, i, m, params, inv: inv.return_value(GLib.Variant("(s)", (address,))), None, None)
    connection.register_object("/org/a11y/bus", node.interfaces[1], None,
                               lambda *args: GLib.Variant("b", True), None)
    loop = GLib.MainLoop()
    Gio.bus_own_name_on_connection(connection, "org.a11y.Bus", Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                                   lambda *_: print("ready", flush=True), lambda *_: loop.quit())
    loop.run()


main()
