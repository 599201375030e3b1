#!/usr/bin/python3
"""A tray host's StatusNotifierWatcher on the session bus, as KDE's and the
AppIndicator extension's speak it: org.kde.StatusNotifierWatcher at
/StatusNotifierWatcher, with its properties, methods and signals.

    stand-in-tray-watcher.py [--no-host]

With --no-host, no host is registered until one calls
RegisterStatusNotifierHost; it is gone again when its caller leaves the bus. Prints "ready" once the name is owned, and
"item <service> <ms since the epoch>" for each RegisterStatusNotifierItem.
Ends on SIGTERM, or with its bus."""

import sys
import time

from gi.repository import Gio, GLib

NAME = "org.kde.StatusNotifierWatcher"
PATH = "/StatusNotifierWatcher"
INTERFACE = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>
"""

host = "--no-host" not in sys.argv[1:]
items = []
loop = GLib.MainLoop()


def emit(connection, signal, args=None):
    connection.emit_signal(None, PATH, NAME, signal, args)


def changed(connection, name, value):
    connection.emit_signal(None, PATH, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                           GLib.Variant("(sa{sv}as)", (NAME, {name: value}, [])))


def on_call(connection, sender, path, interface, method, args, invocation):
    global host
    if method == "RegisterStatusNotifierItem":
        service = args.unpack()[0]
        # An item names its object path alone; the bus name is the caller's.
        item = service if service.startswith(":") or "." in service else sender + service
        items.append(item)
        print("item", item, int(time.time() * 1000), flush=True)
        invocation.return_value(None)
        emit(connection, "StatusNotifierItemRegistered", GLib.Variant("(s)", (item,)))
        changed(connection, "RegisteredStatusNotifierItems", GLib.Variant("as", items))
    elif method == "RegisterStatusNotifierHost":
        invocation.return_value(None)
        # A host is there while its caller stays on the bus, as a real watcher has it.
        Gio.bus_watch_name_on_connection(connection, sender, Gio.BusNameWatcherFlags.NONE,
                                         None, lambda c, _name: host_gone(c))
        if not host:
            host = True
            emit(connection, "StatusNotifierHostRegistered")
            changed(connection, "IsStatusNotifierHostRegistered", GLib.Variant("b", True))


def host_gone(connection):
    global host
    host = False
    emit(connection, "StatusNotifierHostUnregistered")
    changed(connection, "IsStatusNotifierHostRegistered", GLib.Variant("b", False))


def on_get(connection, sender, path, interface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", items)
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", host)
    return GLib.Variant("i", 0)


def on_bus(connection, name):
    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
    connection.register_object(PATH, info, on_call, on_get, None)


def on_name(connection, name):
    print("ready", flush=True)


def on_lost(connection, name):
    print("lost", name, flush=True)
    loop.quit()


Gio.bus_own_name(Gio.BusType.SESSION, NAME, Gio.BusNameOwnerFlags.NONE, on_bus, on_name, on_lost)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, lambda: loop.quit() or False)
loop.run()
