#!/usr/bin/python3
"""Sentrel on a desktop, used as a person uses it.

Each case starts `notebook serve` (with ZHP, an event log of every control
request) and `sentrel` on the desktop of tools/dev/desktop.sh, then clicks,
types and looks: xdotool for the mouse and the keyboard, the accessibility
tree for what a screen reader would say, the notebook's event log for what
the driver received, the report file in the notebook's drive C, and
screenshots. Nothing is read from inside the program.

    desktop.sh run -- sentrel_desktop_test.py --bin BUILD/bin [--shots DIR] [unittest args]
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tools", "dev"))
import a11y  # noqa: E402

BIN = None
SHOTS = None
APP = "Halvorin"               # the application's title, as the accessibility bus names it
SETTINGS_TITLE = "Halvorinion Setup"
REPORT = os.path.join("drive_c", "Users", "Public", "G_TEST.txt")


def wait_until(what, predicate, timeout=10.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def run(*args, check=True):
    return subprocess.run(args, check=check, capture_output=True, text=True).stdout


def xdotool(*args, check=True):
    return run("xdotool", *[str(a) for a in args], check=check)


def click_at(x, y, button=1):
    xdotool("mousemove", "--sync", x, y)
    time.sleep(0.1)
    xdotool("click", button)


def click(node, button=1):
    x, y, w, h = a11y.describe(node)["extents"]
    click_at(x + w // 2, y + h // 2, button)


def frame_geometry(window_id):
    """The outer frame's position: the window manager reparents a window into
    its frame, which is the child of the root window."""
    wid = str(window_id)
    while True:
        tree = run("xwininfo", "-tree", "-id", wid)
        root = re.search(r"Root window id: (0x[0-9a-f]+)", tree).group(1)
        parent = re.search(r"Parent window id: (0x[0-9a-f]+)", tree).group(1)
        if parent == root:
            break
        wid = parent
    out = run("xwininfo", "-id", wid)
    x = int(re.search(r"Absolute upper-left X:\s+(-?\d+)", out).group(1))
    y = int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", out).group(1))
    return x, y


def client_geometry(window_id):
    out = run("xwininfo", "-id", str(window_id))
    w = int(re.search(r"Width:\s+(\d+)", out).group(1))
    h = int(re.search(r"Height:\s+(\d+)", out).group(1))
    return w, h


class Session:
    """One notebook and one Sentrel on the desktop; stopped by stop()."""

    def __init__(self, name, user=None):
        self.name = name
        self.dir = tempfile.mkdtemp(prefix="sentrel-desktop-")
        self.state = os.path.join(self.dir, "state")
        self.events_path = os.path.join(self.dir, "events.jsonl")
        self.env = dict(os.environ, ZHP_NOTEBOOK_SOCKET=os.path.join(self.dir, "notebook.sock"))
        serve = [os.path.join(BIN, "notebook"), "serve", "--state", self.state, "--events", self.events_path]
        if user:
            serve += ["--user", user]
        self.serve_log = open(os.path.join(self.dir, "serve.log"), "w")
        self.serve = subprocess.Popen(serve, env=self.env, stdout=self.serve_log, stderr=subprocess.STDOUT)
        wait_until("the notebook to serve", lambda: self.ctl("status", check=False) is not None, 15)
        self.sentrel_log = open(os.path.join(self.dir, "sentrel.log"), "w")
        self.sentrel = subprocess.Popen([os.path.join(BIN, "sentrel")], env=self.env,
                                        stdout=self.sentrel_log, stderr=subprocess.STDOUT)
        self.app = a11y.application(APP, 15)
        self.main = wait_until("the main window", self.find_main_window, 15)
        self.main_id = wait_until("the main window on the X server", self.main_window_id, 10)
        # Start-up ends with the first 101; the window is settled after it.
        wait_until("start-up's commands", lambda: 101 in self.commands(), 10)

    # -- the program and the notebook ------------------------------------
    def ctl(self, *words, check=True):
        result = subprocess.run([os.path.join(BIN, "notebook"), "ctl", *words], env=self.env,
                                capture_output=True, text=True)
        if result.returncode != 0:
            if check:
                raise AssertionError("notebook ctl %s: %s" % (" ".join(words), result.stderr.strip()))
            return None
        return result.stdout

    def control_requests(self):
        """Every control request the driver received, in order: (command, request words)."""
        requests = []
        if not os.path.exists(self.events_path):
            return requests
        with open(self.events_path) as f:
            for line in f:
                try:
                    event = json.loads(line)
                except ValueError:
                    continue  # a line still being written
                if event.get("event") == "ioctl":
                    requests.append((event["cmd"], event["request"]))
        return requests

    def commands(self):
        return [cmd for cmd, _ in self.control_requests()]

    def commands_after(self, count):
        return self.commands()[count:]

    def report(self):
        path = os.path.join(self.state, REPORT)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    @staticmethod
    def end(process, seconds):
        """SIGTERM, as the desktop's session end sends it; SIGKILL after SECONDS."""
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(seconds)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def tell_what_the_notebook_did(self, lines=40):
        """Prints the end of the notebook's log and event log: what a
        failing wait leaves behind once the session's folder is gone."""
        for path in (os.path.join(self.dir, "serve.log"), self.events_path):
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    tail = f.readlines()[-lines:]
                sys.stderr.write("---- end of %s\n%s" % (os.path.basename(path), "".join(tail)))

    def stop(self):
        self.end(self.sentrel, 10)
        self.end(self.serve, 15)
        self.serve_log.close()
        self.sentrel_log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    # -- what the user sees ----------------------------------------------
    def find_main_window(self):
        for window in self.app:
            if window is not None and a11y.find_all(window, "push button", "TEST"):
                return window
        return None

    def main_window_id(self):
        ids = xdotool("search", "--onlyvisible", "--pid", self.sentrel.pid, check=False).split()
        for wid in ids:
            if client_geometry(wid) == (389, 219):
                return wid
        return None

    def main_window_visible(self):
        ids = xdotool("search", "--onlyvisible", "--pid", self.sentrel.pid, check=False).split()
        return self.main_id in ids

    def node(self, role, name, root=None, timeout=10.0):
        return a11y.find(root or self.main, role, name, timeout)

    def showing(self, role, name, root=None):
        return any(a11y.has_state(node, "showing") for node in a11y.find_all(root or self.main, role, name))

    def tray_icon(self):
        """The tray icon's window in the tray: (x, y, width, height)."""
        for wid in xdotool("search", "--pid", self.sentrel.pid, check=False).split():
            out = xdotool("getwindowgeometry", "--shell", wid, check=False)
            g = dict(line.split("=", 1) for line in out.split() if "=" in line)
            if g and 1 < int(g["WIDTH"]) <= 32 and 1 < int(g["HEIGHT"]) <= 32:
                return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])
        return None

    def tray_click(self, button=1):
        x, y, w, h = wait_until("the tray icon", self.tray_icon, 10)
        click_at(x + w // 2, y + h // 2, button)

    def tray_tip(self):
        """Hovers over the tray icon and reads the tool tip that appears."""
        x, y, w, h = wait_until("the tray icon", self.tray_icon, 10)
        xdotool("mousemove", "--sync", 1, 400)
        time.sleep(0.2)
        xdotool("mousemove", "--sync", x + w // 2 - 2, y + h // 2 - 2)
        time.sleep(0.1)
        xdotool("mousemove", "--sync", x + w // 2, y + h // 2)

        def tip():
            for node, _ in a11y.walk(self.app):
                if node.getRoleName() == "tool tip" and a11y.has_state(node, "showing"):
                    return node.name
            return None
        return wait_until("the tray icon's tool tip", tip, 5)

    def visible_windows(self):
        return set(xdotool("search", "--onlyvisible", "--pid", self.sentrel.pid, check=False).split())

    def tray_menu_choose(self, position):
        """Opens the tray menu with a right click and chooses its POSITION-th
        visible item with the keyboard (the menu is a pop-up the accessibility
        bus does not list)."""
        before = self.visible_windows()
        self.tray_click(3)
        wait_until("the tray menu", lambda: self.visible_windows() - before, 5)
        time.sleep(0.2)
        xdotool("key", *(["Down"] * position), "Return")

    def screenshot(self, name):
        if SHOTS:
            os.makedirs(SHOTS, exist_ok=True)
            run("import", "-window", "root", os.path.join(SHOTS, name + ".png"))

    def tray_picture(self):
        """The pixels of the tray icon, to tell one icon from another."""
        x, y, w, h = wait_until("the tray icon", self.tray_icon, 10)
        path = os.path.join(self.dir, "tray-%d.png" % time.monotonic_ns())
        run("import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), path)
        with open(path, "rb") as f:
            return f.read()


class DesktopCase(unittest.TestCase):
    user = None

    def setUp(self):
        self.s = Session(self.id().split(".")[-1], self.user)
        self.addCleanup(self.s.stop)

    def press(self, role, name):
        """Presses a control the way a keyboard or screen-reader user does:
        many of the main window's controls lie outside its client area."""
        node = self.s.node(role, name)
        node.queryAction().doAction(0)


@unittest.skipIf(os.environ.get("ZHP_DESKTOP_NO_TRAY"), "needs a tray")
class StartUp(DesktopCase):
    def test_main_window_at_its_place_with_the_tray_icon_off(self):
        self.assertEqual(frame_geometry(self.s.main_id), (360, 56))
        self.assertEqual(client_geometry(self.s.main_id), (389, 219))
        self.assertTrue(self.s.showing("push button", "TEST"))
        self.assertFalse(self.s.showing("push button", "Cancel") and
                         a11y.has_state(self.s.node("push button", "Cancel"), "enabled"))
        self.assertIsNotNone(self.s.tray_icon())
        self.assertEqual(self.s.tray_tip(), "DiskProtectionOFF")
        self.assertEqual(self.s.commands()[:3], [107, 102, 101])
        self.s.screenshot("desktop-start")


@unittest.skipUnless(os.environ.get("ZHP_DESKTOP_NO_TRAY"), "needs a desktop without a tray")
class NoTray(DesktopCase):
    def test_without_a_tray_the_program_goes_on_without_its_icon(self):
        self.assertIsNone(self.s.tray_icon())
        self.assertTrue(self.s.main_window_visible())
        before = len(self.s.commands())
        self.press("radio button", "Enable")
        wait_until("the switch-on sequence",
                   lambda: self.s.commands_after(before) == [102, 106, 203, 111, 111], 10)


@unittest.skipIf(os.environ.get("ZHP_DESKTOP_NO_TRAY"), "needs a tray")
class Protection(DesktopCase):
    def test_tray_left_click_switches_protection_on(self):
        off_icon = self.s.tray_picture()
        before = len(self.s.commands())
        self.s.tray_click(1)
        wait_until("the switch-on sequence",
                   lambda: self.s.commands_after(before) == [102, 106, 203, 111, 111], 10)
        enable = self.s.node("radio button", "Enable")
        wait_until("the selector on Enable", lambda: a11y.has_state(enable, "checked"), 5)
        self.assertEqual(self.s.tray_tip(), "DiskProtectionON")
        self.assertNotEqual(self.s.tray_picture(), off_icon, "the tray icon did not change")
        flags = self.s.ctl("status")
        self.assertIsNotNone(flags)

    def test_ok_hides_the_window_and_show_brings_it_back(self):
        xdotool("windowactivate", "--sync", self.s.main_id, check=False)
        self.press("push button", "OK")
        wait_until("the main window hidden", lambda: not self.s.main_window_visible(), 5)
        self.s.tray_menu_choose(1)  # Show
        wait_until("the main window shown again", self.s.main_window_visible, 5)

    def test_exit_from_the_tray_menu_ends_with_protection_off(self):
        self.s.tray_menu_choose(2)  # Exit
        self.s.sentrel.wait(15)
        cmd, request = self.s.control_requests()[-1]
        self.assertEqual(cmd, 102)
        self.assertEqual(request[9], 0, "word 36 of the last 102")


@unittest.skipIf(os.environ.get("ZHP_DESKTOP_NO_TRAY"), "needs a tray")
class Settings(DesktopCase):
    def test_configuration_shows_the_live_readout_and_follows_a_tilt(self):
        self.press("push button", "Configuration")
        wid = wait_until("the settings dialog", lambda: xdotool(
            "search", "--onlyvisible", "--name", "^%s$" % SETTINGS_TITLE, check=False).split(), 10)[0]
        dialog = a11y.window(self.s.app, SETTINGS_TITLE)
        click(self.s.node("page tab", "Status", dialog))
        bar = self.s.node("progress bar", None, dialog)

        def angle_x():
            for node in a11y.find_all(dialog, "label"):
                if node.name.startswith("Andle_X= "):
                    return node.name
            return None
        flat = wait_until("the X angle", angle_x, 5)
        flat_bar = a11y.describe(bar)["value"]
        self.s.ctl("tilt", "30", "20")
        wait_until("the readout to follow the tilt",
                   lambda: angle_x() not in (None, flat) and a11y.describe(bar)["value"] != flat_bar, 10)
        self.s.screenshot("desktop-settings-tilted")
        self.assertTrue(xdotool("search", "--onlyvisible", "--name", "^%s$" % SETTINGS_TITLE, check=False))
        click(self.s.node("push button", "Done", dialog))
        wait_until("the dialog closed", lambda: wid not in xdotool(
            "search", "--onlyvisible", "--name", "^%s$" % SETTINGS_TITLE, check=False).split(), 5)


@unittest.skipIf(os.environ.get("ZHP_DESKTOP_NO_TRAY"), "needs a tray")
class QualityTest(DesktopCase):
    def test_four_drops_after_test_pass(self):
        click(self.s.node("push button", "TEST"))
        wait_until("protection on", lambda: 203 in self.s.commands(), 10)
        for drop in range(4):
            self.s.ctl("drop", "0.5")
            wait_until("the fall picture", lambda: self.s.showing("image", "Free fall"), 10)
            if drop == 0:
                self.s.screenshot("desktop-fall")
            try:
                wait_until("the fall picture to go", lambda: not self.s.showing("image", "Free fall"), 15)
            except AssertionError:
                self.s.tell_what_the_notebook_did()
                raise
        wait_until("the pass picture", lambda: self.s.showing("image", "Test passed"), 10)
        wait_until("the report", lambda: self.s.report() is not None, 5)
        self.assertTrue(self.s.report().endswith(b"-----Pass"), self.s.report())
        self.assertEqual(self.s.commands()[-3:], [204, 111, 111])
        self.s.screenshot("desktop-pass")


def main():
    global BIN, SHOTS
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--shots")
    args, rest = parser.parse_known_args()
    BIN = os.path.abspath(args.bin)
    SHOTS = args.shots
    if not os.environ.get("DISPLAY") or not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        print("sentrel_desktop_test: run it inside tools/dev/desktop.sh run --", file=sys.stderr)
        return 2
    program = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False)
    result = program.result
    failed = len(result.failures) + len(result.errors)
    print("%d passed, %d failed" % (result.testsRun - failed - len(result.skipped), failed))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
