#!/usr/bin/python3
"""Calls the tunnel service as whatever user runs it (the tests run it as a
second, unprivileged uid through setpriv) and prints the outcomes as JSON.

  call-as-peer.py '[["LoadAll", []], ["Load", ["<id>"]], ...]'

Each outcome is {"ok": <reply>} or {"error": "<D-Bus error name>"}. A call
whose only argument is an object is sent as a{sv} (a profile).
"""
import json
import sys

import dbus

bus = dbus.SystemBus()
service = bus.get_object("dev.morvel.vpn.Tunnel", "/dev/morvel/vpn/Tunnel1")
tunnel = dbus.Interface(service, "dev.morvel.vpn.Tunnel1")


def plain(value):
    if value is None:
        return None
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (dbus.Array, list)):
        return [plain(v) for v in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, str)):
        return str(value)
    if isinstance(value, (int, float)):
        return value
    return str(value)


def argument(value):
    if isinstance(value, dict):
        return dbus.Dictionary({k: argument(v) for k, v in value.items()}, signature="sv")
    return value


outcomes = []
for method, arguments in json.loads(sys.argv[1]):
    try:
        reply = getattr(tunnel, method)(*[argument(a) for a in arguments], timeout=5)
        outcomes.append({"ok": plain(reply)})
    except dbus.exceptions.DBusException as error:
        outcomes.append({"error": error.get_dbus_name()})
print(json.dumps(outcomes))
