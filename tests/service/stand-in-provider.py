#!/usr/bin/python3
"""A stand-in for halvoran-tunnel that speaks its protocol with the service.

Reads the provider configuration (one JSON object) from stdin, starts an
"engine" (a sleeping child in its process group) and reports on stdout:
"status connecting", "status connected", on SIGHUP "status reasserting" then
"status connected"; on SIGTERM it stops the engine and exits 0.

The configuration steers it, so tests go through the real protocol:
  standin_behaviour: "normal" (default), "never" (never connected),
                     "crash" (connected, then an error line and exit 3),
                     "fail" (an error line and exit 1 at once),
                     "stubborn" (ignores SIGTERM)
  standin_report:    a file to write what it saw (JSON) once connected
  standin_flood:     bytes of log lines to write on stderr before "connected",
                     the first one far longer than the service keeps
"""
import json
import os
import signal
import subprocess
import sys
import time

config = json.loads(sys.stdin.read() or "{}")
behaviour = config.get("standin_behaviour", "normal")
report = config.get("standin_report")


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


engine = subprocess.Popen(["sleep", "300"])
stopping = False


def on_term(_signum, _frame):
    global stopping
    stopping = True


def on_hup(_signum, _frame):
    say("status reasserting")
    say("status connected")


if behaviour == "stubborn":
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
else:
    signal.signal(signal.SIGTERM, on_term)
signal.signal(signal.SIGHUP, on_hup)

say("status connecting")
if behaviour == "fail":
    say("error could not reach " + config.get("subscription_url", ""))
    engine.kill()
    sys.exit(1)
flood = int(config.get("standin_flood", 0))
if flood:
    sys.stderr.buffer.write(b"y" * 100000 + b"\n")
    chunk = (b"flood " + b"x" * 94 + b"\n") * 10000
    for _ in range(0, flood, len(chunk)):
        sys.stderr.buffer.write(chunk)
    sys.stderr.buffer.flush()
if behaviour != "never":
    say("status connected")
if report:
    def caps(field):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return line.split()[1]
        return ""
    seen = {
        "argv": sys.argv[1:],
        "config": config,
        "environ": dict(os.environ),
        "uid": os.getuid(),
        "cap_amb": caps("CapAmb"),
        "cap_eff": caps("CapEff"),
        "pgid": os.getpgid(0),
        "engine": engine.pid,
    }
    with open(report + ".tmp", "w") as out:
        json.dump(seen, out)
    os.rename(report + ".tmp", report)
if behaviour == "crash":
    time.sleep(0.05)
    say("error engine crashed for " + config.get("subscription_url", ""))
    sys.exit(3)
while not stopping:
    time.sleep(0.02)
engine.terminate()
engine.wait()
sys.exit(0)
