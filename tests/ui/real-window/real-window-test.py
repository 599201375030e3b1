#!/usr/bin/python3
"""The real program on a real X server, driven as a person drives it: with
the mouse and keyboard (xdotool), looked at through the accessibility tree
(AT-SPI) and the X server's own idea of the window (xwininfo), with a
screenshot of the screen per state.

First on a tall screen managed by openbox: activate (the code pasted with
line breaks in it), connect, open the settings sheet, copy the report,
open the sign-out question and leave it with Escape. Then, already
activated, on a short screen with no window manager: the window stays on the
screen and the sheet scrolls with the wheel to its last control.

Runs on the session bus it is given (dbus-run-session), in the network
namespace it is given. Exits 77 when a tool it needs is missing.
"""
import argparse
import os
import shutil
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# Nothing written beside the sources.
sys.dont_write_bytecode = True

SKIP = 77
TOOLS = ["Xvfb", "openbox", "xdotool", "xwininfo", "xprop", "import", "identify", "xclip",
         "dbus-send", "/usr/libexec/at-spi-bus-launcher"]
missing = [tool for tool in TOOLS if not shutil.which(tool)]
try:
    import accessible  # noqa: E402  (needs python3-pyatspi)
except ImportError as error:
    missing.append(f"python3-pyatspi ({error})")
if missing:
    print("real window: skipped, missing " + ", ".join(missing)
          + " (scripts/install-deps installs them)")
    sys.exit(SKIP)

from desktop import Failure, Processes, XServer, bus_has_name, port_open, \
    start_accessibility_bus, wait_until  # noqa: E402

WIDTH = 508
DEMO_PORT = 47832


class Run:
    def __init__(self, args):
        self.args = args
        self.scale = float(os.environ.get("QT_SCALE_FACTOR", "1"))
        self.work = os.path.abspath(args.work)
        shutil.rmtree(self.work, ignore_errors=True)
        self.home = os.path.join(self.work, "home")
        os.makedirs(os.path.join(self.home, "run"), mode=0o700)
        self.shots = os.path.abspath(args.screenshots)
        shutil.rmtree(self.shots, ignore_errors=True)
        os.makedirs(self.shots)
        self.processes = Processes(os.path.join(self.work, "logs"))
        self.env = dict(os.environ, HOME=self.home,
                        XDG_CONFIG_HOME=os.path.join(self.home, "config"),
                        XDG_DATA_HOME=os.path.join(self.home, "data"),
                        XDG_STATE_HOME=os.path.join(self.home, "state"),
                        XDG_RUNTIME_DIR=os.path.join(self.home, "run"))
        self.x = None
        self.app = None
        self.program = None
        self.window = None
        self.step = "start"
        self.shot_count = 0

    # -- the services, the X server and the program ------------------------

    def start_services(self):
        self.processes.start("demo-service", [self.args.demo_service,
                                              "--state=" + os.path.join(self.work, "demo.json")],
                             env=self.env)
        wait_until("the demo service", lambda: port_open(DEMO_PORT))
        engine = os.path.join(self.work, "engine")
        os.makedirs(engine)
        os.symlink(self.args.engine, os.path.join(engine, "sing-box"))
        # The stand-in engine says it started after a moment, so "connecting"
        # lasts long enough to be looked at.
        env = dict(self.env, PATH=engine + ":" + self.env["PATH"],
                   HALVORAN_TUNNEL_PROVIDER=self.args.provider, FAKE_SING_BOX_START_DELAY="2")
        self.processes.start("tunneld", [self.args.tunneld, "--session", "--log-stderr"], env=env)
        wait_until("the tunnel service on the bus", lambda: bus_has_name("dev.morvel.vpn.Tunnel"))

    def screen_size(self, width, height):
        """A screen as many device-independent pixels big at any scale."""
        return f"{round(width * self.scale)}x{round(height * self.scale)}"

    def start_desktop(self, size, window_manager):
        self.x = XServer(self.processes, size, window_manager)
        self.env["DISPLAY"] = self.x.display
        start_accessibility_bus(self.processes, self.env)

    def start_program(self):
        env = dict(self.env, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   HALVORAN_TUNNEL_BUS="session")
        self.program = self.processes.start("halvoran", [self.args.program], env=env)
        self.window = wait_until("the window on the screen", lambda: self.x.window_id("Halvoran"))
        self.app = wait_until("the program on the accessibility bus",
                              lambda: accessible.application("Halvoran"))

    def stop_program(self):
        self.processes.stop(self.program)
        self.x.close()
        self.program = self.app = self.window = None

    # -- looking -------------------------------------------------------------

    def nodes(self):
        nodes = accessible.tree(self.app)
        # Qt 6.4 gives AT-SPI its own device-independent pixels; the X
        # server counts device pixels.
        if self.scale != 1:
            for node in nodes:
                node.extents = tuple(round(v * self.scale) for v in node.extents)
        return nodes

    def find(self, role, name, showing=True, where=lambda node: True):
        return next((n for n in self.nodes() if n.role == role and n.name == name
                     and (n.showing or not showing) and where(n)), None)

    def wait_for(self, role, name, timeout=10.0, where=lambda node: True):
        return wait_until(f"{role} {name!r}", lambda: self.find(role, name, where=where), timeout)

    def geometry(self):
        return self.x.geometry(self.window)

    def screen(self):
        width, height = self.x.run("xdotool", "getdisplaygeometry").split()
        return int(width), int(height)

    def check(self, condition, message):
        if not condition:
            raise Failure(f"{self.step}: {message}")

    def check_fits(self, scrolls=False):
        """The window is 508 wide, lies on the screen, and shows every named
        control it has; unless it scrolls, it is no taller than they need and
        cannot be made taller or shorter."""
        window = self.geometry()
        screen_width, screen_height = self.screen()
        self.check(window["mapped"], "the window is not mapped")
        self.check(abs(window["width"] - round(WIDTH * self.scale)) <= 1,
                   f"the window is {window['width']} wide, not {WIDTH}")
        self.check(window["x"] >= 0 and window["y"] >= 0
                   and window["x"] + window["width"] <= screen_width
                   and window["y"] + window["height"] <= screen_height,
                   f"the window {window} reaches past the screen {screen_width}x{screen_height}")
        nodes = self.nodes()
        controls = [n for n in nodes
                    if n.showing and n.name and n.role not in ("frame", "filler", "scroll bar")]
        self.check(controls, "no named control is shown")
        left, top = window["x"], window["y"]
        right, bottom = left + window["width"], top + window["height"]
        lowest = 0
        for node in controls:
            x, y, w, h = node.extents
            lowest = max(lowest, y + h)
            if scrolls:
                continue
            self.check(x >= left and y >= top and x + w <= right and y + h <= bottom,
                       f"{node} lies outside the window {window}")
            # and inside the dialog it belongs to
            up = node.parent
            while up >= 0:
                box = nodes[up]
                if box.role == "dialog":
                    bx, by, bw, bh = box.extents
                    self.check(x >= bx and y >= by and x + w <= bx + bw and y + h <= by + bh,
                               f"{node} lies outside its dialog {box}")
                up = box.parent
        if not scrolls:
            spare = bottom - lowest
            self.check(spare <= 60 * self.scale,
                       f"the window ends {spare} px below its last control")
            hints = self.x.size_hints(self.window)
            self.check(hints.get("minimum", (0, 0))[1] == window["height"]
                       and hints.get("maximum", (0, 0))[1] == window["height"],
                       f"the window's height {window['height']} is not fixed: {hints}")
        return window

    def drawn(self):
        """The window's lower half shows something, without a key or a move
        of the mouse to wake it."""
        height = self.geometry()["height"]
        wait_until(f"{self.step}: the window drawn",
                   lambda: self.x.colours(self.window, height // 2, height - height // 2) > 8,
                   timeout=3)

    def shot(self, name):
        self.drawn()
        self.shot_count += 1
        path = os.path.join(self.shots, f"{self.shot_count:02d}-{name}.png")
        self.x.screenshot(path)
        return path

    # -- doing ---------------------------------------------------------------

    def click(self, node):
        self.x.click(*node.centre)

    def focused_button(self):
        return next((n for n in self.nodes()
                     if "focused" in n.states and n.role == "push button"), None)


def no_update_banner(run):
    texts = [n.name for n in run.nodes()]
    run.check(not any(t.startswith("v (") or t == "v ()" for t in texts),
              f"a hidden update version is in the tree: {texts}")
    run.check("New version available" not in texts, "the hidden update banner is in the tree")


def tall_screen_with_window_manager(run):
    run.step = "activation screen"
    run.start_desktop(run.screen_size(1280, 1024), window_manager=True)
    run.start_program()
    field = run.wait_for("text", "Activation code")
    activate = run.wait_for("push button", "Activate")
    run.check(not activate.enabled, f"Activate is not reported disabled without a code: {activate}")
    run.check("focused" in field.states, f"the code field does not have the focus: {field}")
    no_update_banner(run)
    run.check_fits()
    run.shot("activation")

    # Every kind of line break, around the code and inside it, goes as it comes.
    run.step = "code pasted with line breaks"
    run.x.set_clipboard("\r\nDE\nMO-\u20282026\r\n")
    run.click(field)
    run.x.key("ctrl+v")
    field = wait_until("the pasted code", lambda: next(
        (n for n in run.nodes() if n.role == "text" and n.text), None))
    run.check(field.text == "DEMO-2026", f"the field holds {field.text!r}")
    activate = run.wait_for("push button", "Activate", where=lambda n: n.enabled)
    run.check_fits()
    run.shot("code-pasted")

    run.step = "activated"
    run.click(activate)
    power = run.wait_for("push button", "Connect", timeout=20)
    run.drawn()
    run.check(power.description, f"the power button has no state as its description: {power}")
    no_update_banner(run)
    run.check_fits()
    run.shot("status")

    run.step = "connecting"
    run.click(power)
    run.wait_for("push button", "Disconnect", where=lambda n: not n.enabled)
    run.check_fits()
    run.shot("connecting")

    run.step = "connected"
    power = run.wait_for("push button", "Disconnect", timeout=20, where=lambda n: n.enabled)
    run.check(power.description, f"the power button has no state as its description: {power}")
    run.check_fits()
    run.shot("connected")

    run.step = "settings sheet"
    run.click(run.wait_for("push button", "Settings"))
    sheet = run.wait_for("dialog", "Settings")
    for group in ("Routing mode", "Subscription"):
        run.wait_for("panel", group)
    for button in ("Done", "Sign out", "Copy diagnostic", "Help & FAQ"):
        run.wait_for("push button", button)
    run.check(any(n.name.startswith("v") and n.role == "label" and n.showing
                  for n in run.nodes()), "no version is shown")
    run.check_fits()
    run.shot("settings")

    run.step = "diagnostic copied"
    copy = run.find("push button", "Copy diagnostic")
    help_before = run.find("push button", "Help & FAQ")
    run.click(copy)
    copied = run.wait_for("push button", "Copied")
    help_after = run.find("push button", "Help & FAQ")
    run.check(copied.extents == copy.extents, f"the button moved: {copy} then {copied}")
    run.check(help_after.extents == help_before.extents,
              f"the Help link moved: {help_before} then {help_after}")
    run.shot("copied")

    run.step = "sign-out question"
    run.click(run.find("push button", "Sign out"))
    cancel = run.wait_for("push button", "Cancel")
    focused = wait_until("the focus on a button", lambda: run.focused_button())
    run.check(focused.name == "Cancel", f"the focus is on {focused}, not Cancel")
    run.check("is-default" in focused.states, f"Cancel is not the default button: {focused}")
    row = sorted((n for n in run.nodes() if n.role == "push button" and n.showing
                  and abs(n.extents[1] - cancel.extents[1]) <= 4), key=lambda n: n.extents[0])
    names = [n.name for n in row]
    run.check(sorted(names) == ["Cancel", "Sign out"], f"the question's buttons: {names}")
    run.check_fits()
    run.shot("sign-out-question")
    # Tab goes on in the order the buttons read, and stays in the question.
    at = names.index("Cancel")
    expected = [names[(at + i) % len(names)] for i in range(len(names) + 1)]
    order = [focused.name]
    for _ in range(len(names)):
        run.x.key("Tab")
        order.append(wait_until("the focus moving on", lambda: (
            lambda f: f.name if f and f.name != order[-1] else None)(run.focused_button()),
            timeout=3))
    run.check(order == expected, f"Tab goes {order}, not {expected}")
    run.x.key("Escape")
    wait_until("the question gone", lambda: run.find("push button", "Cancel") is None, timeout=3)
    run.wait_for("dialog", "Settings")
    run.check(run.find("push button", "Disconnect", showing=False) is not None,
              "Escape signed out")
    run.shot("question-escaped")
    run.stop_program()


def short_screen_without_window_manager(run):
    run.step = "short screen, status"
    run.start_desktop(run.screen_size(1024, 480), window_manager=False)
    run.start_program()
    run.wait_for("push button", "Settings", timeout=20)
    run.check_fits(scrolls=True)
    run.shot("short-status")

    run.step = "short screen, settings sheet"
    run.click(run.wait_for("push button", "Settings"))
    run.wait_for("dialog", "Settings")
    window = run.check_fits(scrolls=True)
    bars = [n for n in run.nodes() if n.role == "scroll bar" and n.showing]
    run.check(bars and all(n.name for n in bars),
              f"the sheet's scroll bar is missing or has no name: {[str(n) for n in bars]}")
    # Scrolled out of sight, it is in the tree but not showing.
    sign_out = run.find("push button", "Sign out", showing=False)
    run.check(sign_out is not None, "Sign out is not in the sheet")
    bottom = window["y"] + window["height"]
    start = sign_out.extents[1]
    run.shot("short-settings")
    for _ in range(12):
        if sign_out.showing and sign_out.extents[1] + sign_out.extents[3] <= bottom:
            break
        run.x.click(window["x"] + window["width"] // 2, window["y"] + window["height"] // 2, 5)
        time.sleep(0.1)
        sign_out = run.find("push button", "Sign out", showing=False)
    run.check(sign_out.extents[1] < start, "the wheel does not scroll the sheet")
    run.check(sign_out.showing and sign_out.extents[1] + sign_out.extents[3] <= bottom,
              f"Sign out is not reached by scrolling: {sign_out}, window ends at {bottom}")
    run.shot("short-settings-scrolled")
    run.stop_program()


def main():
    parser = argparse.ArgumentParser()
    for option in ("program", "demo-service", "tunneld", "provider", "engine", "work",
                   "screenshots"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    run = Run(args)
    # CTest's time-out and Ctrl-C end the run through the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    started = time.monotonic()
    try:
        run.start_services()
        tall_screen_with_window_manager(run)
        short_screen_without_window_manager(run)
    except Failure as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        if run.app is not None:
            try:
                print("\n".join(str(n) for n in run.nodes()), file=sys.stderr)
                run.shot("failed")
            except Exception as error:  # the failure above is the news
                print(f"(no tree: {error})", file=sys.stderr)
        print(run.processes.log("halvoran")[-3000:], file=sys.stderr)
        return 1
    finally:
        run.processes.stop_all()
    print(f"real window: passed in {time.monotonic() - started:.1f} s; "
          f"screenshots in {run.shots}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
