"""A desktop of the test's own: an X server (with or without a window
manager), the accessibility bus, and the processes started on it, each with
a time limit on its start and all of them ended when the run ends, however
it ends (they also die with this process, should it be killed)."""
import ctypes
import os
import select
import signal
import socket
import subprocess
import time

PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


class Failure(Exception):
    pass


def _die_with_parent():
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def wait_until(what, predicate, timeout=10.0, interval=0.05):
    """The first true value of predicate(), else Failure after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"{what}: not seen within {timeout:g} s")
        time.sleep(interval)


def bus_has_name(name):
    answer = subprocess.run(
        ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
         "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", f"string:{name}"],
        capture_output=True, text=True, timeout=5)
    return "boolean true" in answer.stdout


def port_open(port):
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex(("127.0.0.1", port)) == 0


class Processes:
    """What the run started, ended in reverse order: SIGTERM, then SIGKILL."""

    def __init__(self, logs):
        self.logs = logs
        self.running = []
        os.makedirs(logs, exist_ok=True)

    def start(self, name, argv, env=None, pass_fds=()):
        log = open(os.path.join(self.logs, name + ".log"), "ab")
        process = subprocess.Popen(argv, env=env, stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, pass_fds=pass_fds,
                                   preexec_fn=_die_with_parent)
        log.close()
        self.running.append((name, process))
        return process

    def stop(self, process, grace=3.0):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(grace)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self.running = [(n, p) for n, p in self.running if p is not process]

    def stop_all(self):
        for _, process in reversed(list(self.running)):
            self.stop(process)

    def log(self, name):
        try:
            with open(os.path.join(self.logs, name + ".log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""


class XServer:
    """Xvfb on a display it picks, optionally with openbox managing it."""

    def __init__(self, processes, size, window_manager):
        self.processes = processes
        read_end, write_end = os.pipe()
        self.process = processes.start(
            "xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{size}x24",
                     "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,))
        os.close(write_end)
        ready, _, _ = select.select([read_end], [], [], 10)
        number = os.read(read_end, 16).decode().strip() if ready else ""
        # Kept open while the server runs: it fails should a write find no reader.
        self._display_pipe = read_end
        if not number:
            raise Failure("Xvfb did not report its display within 10 s:\n"
                          + processes.log("xvfb"))
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display)
        self.window_manager = None
        if window_manager:
            self.window_manager = processes.start("openbox", ["openbox", "--sm-disable"],
                                                  env=self.env)
            wait_until("openbox managing the screen",
                       lambda: "window id" in self.run("xprop", "-root",
                                                       "_NET_SUPPORTING_WM_CHECK"))

    def run(self, *argv, check=False):
        done = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=10,
                              check=check)
        return done.stdout

    def close(self):
        if self.window_manager:
            self.processes.stop(self.window_manager)
        self.processes.stop(self.process)
        os.close(self._display_pipe)

    def window_id(self, title):
        ids = self.run("xdotool", "search", "--onlyvisible", "--name", f"^{title}$").split()
        return ids[0] if ids else None

    def geometry(self, window):
        """The window's place on the screen and its map state, as X has them."""
        fields = {}
        for line in self.run("xwininfo", "-id", window).splitlines():
            key, _, value = line.strip().partition(":")
            fields[key] = value.strip()
        return {"x": int(fields["Absolute upper-left X"]),
                "y": int(fields["Absolute upper-left Y"]),
                "width": int(fields["Width"]), "height": int(fields["Height"]),
                "mapped": fields.get("Map State") == "IsViewable"}

    def size_hints(self, window):
        """{"minimum": (w, h), "maximum": (w, h)}, as far as the program set them."""
        hints = {}
        for line in self.run("xprop", "-id", window, "WM_NORMAL_HINTS").splitlines():
            words = line.replace(":", "").split()
            if words[:3] in (["program", "specified", "minimum"], ["program", "specified", "maximum"]):
                hints[words[2]] = (int(words[4]), int(words[6]))
        return hints

    def screenshot(self, path, window="root"):
        self.run("import", "-window", window, path, check=True)

    def colours(self, window, top, height):
        """How many colours a band of the window's pixels has: one is a blank
        frame."""
        out = self.run("sh", "-c", f"import -window {window} -crop 10000x{height}+0+{top} "
                       "+repage png:- | identify -format %k png:-")
        return int(out.strip() or 0)

    def click(self, x, y, button=1):
        self.run("xdotool", "mousemove", "--sync", str(x), str(y), "click", str(button),
                 check=True)

    def key(self, *keys):
        self.run("xdotool", "key", "--clearmodifiers", *keys, check=True)

    def set_clipboard(self, text):
        # xclip keeps serving the selection in the background until another
        # client takes it; it ends with the X server.
        subprocess.Popen(["xclip", "-selection", "clipboard"],
                         env=self.env, stdin=subprocess.PIPE,
                         preexec_fn=_die_with_parent).communicate(text.encode(), timeout=5)


def start_accessibility_bus(processes, env):
    processes.start("at-spi-bus", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                    env=env)
    wait_until("the accessibility bus", lambda: bus_has_name("org.a11y.Bus"))
