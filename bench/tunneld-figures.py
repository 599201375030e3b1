#!/usr/bin/python3
"""Figures of halvoran-tunneld: its memory while idle and with a tunnel up,
and the time from a start request to "connected".

Run on private buses (tests/service/with-buses.sh) with the built service:
  tunneld-figures.py <halvoran-tunneld> <provider> [<engine for PATH as sing-box>]
Without an engine the provider is expected to be a stand-in that needs none.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

tunneld, provider = sys.argv[1], sys.argv[2]
engine = sys.argv[3] if len(sys.argv) > 3 else None
runs = 10

scratch = tempfile.mkdtemp(prefix="halvoran-figures.")
env = dict(os.environ, HALVORAN_TUNNEL_PROVIDER=provider)
if engine:
    os.symlink(engine, os.path.join(scratch, "sing-box"))
    env["PATH"] = scratch + ":" + env["PATH"]
    env["XDG_CONFIG_HOME"] = os.path.join(scratch, "config")
    env["XDG_DATA_HOME"] = os.path.join(scratch, "data")
service = subprocess.Popen([tunneld, "--session", "--log-stderr", "--state-dir",
                            os.path.join(scratch, "state")], env=env,
                           stderr=subprocess.DEVNULL)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
deadline = time.monotonic() + 10
while not bus.name_has_owner("dev.morvel.vpn.Tunnel"):
    if time.monotonic() > deadline:
        sys.exit("halvoran-tunneld did not come up")
    time.sleep(0.05)
tunnel = dbus.Interface(bus.get_object("dev.morvel.vpn.Tunnel", "/dev/morvel/vpn/Tunnel1"),
                        "dev.morvel.vpn.Tunnel1")
time.sleep(1)
idle = rss_kib(service.pid)

url = "https://sub.example.net/api/sub/figures-token"
profile_id = tunnel.Save(dbus.Dictionary({
    "LocalizedDescription": "VPN", "Enabled": True,
    "ProviderBundleIdentifier": "dev.morvel.vpn.sysext", "ServerAddress": url,
    "ProviderConfiguration": dbus.Dictionary({"subscription_url": url}, signature="sv"),
}, signature="sv"))

loop = GLib.MainLoop()
waiting_for = [None]


def on_status(changed_id, status):
    if changed_id == profile_id and status == waiting_for[0]:
        loop.quit()


bus.add_signal_receiver(on_status, "StatusChanged", "dev.morvel.vpn.Tunnel1")


def wait(status):
    waiting_for[0] = status
    expired = []

    def give_up():
        expired.append(True)
        loop.quit()
        return False

    timer = GLib.timeout_add_seconds(30, give_up)
    loop.run()
    if not expired:
        GLib.source_remove(timer)
    if tunnel.Status(profile_id) != status:
        sys.exit(f"the tunnel did not reach {status}")


times = []
up = 0
for _ in range(runs):
    began = time.monotonic()
    tunnel.Start(profile_id)
    wait("connected")
    times.append((time.monotonic() - began) * 1000)
    up = max(up, rss_kib(service.pid))
    tunnel.Stop(profile_id)
    wait("disconnected")

service.terminate()
service.wait(10)
print(f"start to connected: median {statistics.median(times):.0f} ms, "
      f"min {min(times):.0f} ms, max {max(times):.0f} ms over {runs} runs")
print(f"memory (RSS): idle {idle / 1024:.1f} MiB, with a tunnel up {up / 1024:.1f} MiB")
