#!/usr/bin/python3
"""A long run of the Linux morvik-context monitor on a busy desktop of its own.

usage: context_soak.py MONITOR [SECONDS] [WARMUP_SECONDS] [RESTART_SECONDS]

Xvfb, openbox, a session bus with the accessibility bus, and three GTK
applications: the test notes application (a modal dialog opened and closed),
one that opens short-lived focused windows all the time, and one that is
stopped (SIGSTOP) for a few seconds while in front. Pointer motion runs at
250 events a second throughout, and the accessibility bus is restarted every
RESTART_SECONDS (default five minutes). Prints the monitor's exits, its lines on standard error, its
memory after the warm-up and the drift since, and the longest gap between two
snapshots.
"""
import ctypes
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NOTES = os.path.join(HERE, "..", "context", "linux", "tests", "gtk_test_app.py")

# A GTK application with one window; "churn" also opens a focused window every
# 0.7 s and destroys it 50 ms later.
APPLICATION = r"""
import sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk
mode = sys.argv[1]
window = Gtk.Window(title="Soak " + mode)
window.set_default_size(300, 200)
window.add(Gtk.Entry())
window.connect("destroy", Gtk.main_quit)
window.show_all()
def churn():
    short = Gtk.Window(title="Short-lived", transient_for=window)
    short.show_all()
    short.present()
    GLib.timeout_add(50, short.destroy)
    return True
if mode == "churn":
    GLib.timeout_add(700, churn)
GLib.idle_add(lambda: print("ready", flush=True))
Gtk.main()
"""


def start(args, env, **kwargs):
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    return subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, **{**quiet, **kwargs})


def wait_ready(process):
    if process.stdout.readline().strip() != b"ready":
        raise SystemExit("an application did not start")


class Desktop:
    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="morvik-soak-")
        self.xvfb = start(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"], None,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        display = self.xvfb.stdout.readline().decode().strip()
        # The session's own service folder comes first: a call to the
        # accessibility bus's name during a restart must not have the bus start
        # a launcher of its own, without the display to announce its bus on.
        services = os.path.join(self.home, "dbus-1", "services")
        os.makedirs(services)
        with open(os.path.join(services, "org.a11y.Bus.service"), "w") as service:
            service.write("[D-BUS Service]\nName=org.a11y.Bus\nExec=/bin/false\n")
        self.bus = start(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                         dict(os.environ, XDG_RUNTIME_DIR=self.home), stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
        address = self.bus.stdout.readline().decode().strip()
        self.env = dict(os.environ, DISPLAY=":" + display, DBUS_SESSION_BUS_ADDRESS=address, HOME=self.home,
                        XDG_RUNTIME_DIR=self.home)
        self.launcher = None
        self.start_accessibility()
        self.others = [start(["openbox"], self.env)]
        self.apps = {}
        for name, args in (("notes", [NOTES]), ("churn", ["-c", APPLICATION, "churn"]),
                           ("hung", ["-c", APPLICATION, "hung"])):
            app = start(["/usr/bin/python3", *args], self.env, stdout=subprocess.PIPE)
            wait_ready(app)
            self.apps[name] = app

    def start_accessibility(self):
        # Its own process group: the launcher's dbus-daemon goes with it.
        self.launcher = start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"], self.env,
                              start_new_session=True)
        for _ in range(200):
            if self.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                         "org.a11y.Bus.GetAddress"]).returncode == 0:
                break
            time.sleep(0.02)
        self.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                  "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
                  "variant:boolean:true"])

    def restart_accessibility(self):
        os.killpg(self.launcher.pid, signal.SIGKILL)
        self.launcher.wait()
        self.start_accessibility()

    def run(self, args):
        return subprocess.run(args, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def activate(self, title):
        self.run(["xdotool", "search", "--name", title, "windowactivate"])

    def close(self):
        for process in [*self.apps.values(), *self.others]:
            process.kill()
        os.killpg(self.launcher.pid, signal.SIGKILL)
        for process in (self.bus, self.xvfb):
            process.kill()
        for process in [*self.apps.values(), *self.others, self.launcher, self.bus, self.xvfb]:
            process.wait()
        subprocess.run(["rm", "-rf", self.home])


def pointer_motion(display_name, stop):
    """250 pointer motions a second through XTest, as a moving mouse gives."""
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    xtest = ctypes.cdll.LoadLibrary("libXtst.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    xtest.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
    display = x11.XOpenDisplay(display_name.encode())
    step = 0
    while not stop.is_set():
        step += 1
        xtest.XTestFakeMotionEvent(display, -1, 100 + step % 400, 100 + (step * 7) % 300, 0)
        x11.XFlush(display)
        time.sleep(0.004)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    monitor_path = sys.argv[1]
    duration = float(sys.argv[2]) if len(sys.argv) > 2 else 1200.0
    warmup = float(sys.argv[3]) if len(sys.argv) > 3 else min(120.0, duration / 4)
    restart_every = float(sys.argv[4]) if len(sys.argv) > 4 else 300.0
    desktop = Desktop()
    stop = threading.Event()
    errors = tempfile.TemporaryFile()
    monitor = start([monitor_path], desktop.env, stdout=subprocess.PIPE, stderr=errors)
    ticks = []

    def read():
        for _ in monitor.stdout:
            ticks.append(time.monotonic())

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    motion = threading.Thread(target=pointer_motion, args=(desktop.env["DISPLAY"], stop), daemon=True)
    motion.start()

    began = time.monotonic()
    samples = []  # (seconds since start, RSS KiB)
    actions = []  # (monotonic time, what the desktop was doing from then)
    restarts = 0
    next_restart = began + restart_every
    step = 0
    try:
        while time.monotonic() - began < duration and monitor.poll() is None:
            step += 1
            # Every 2 s one of: the dialog opened and closed, the churning
            # application in front, the hung application in front and stopped.
            action = step % 3
            actions.append((time.monotonic(), ("dialog", "churning windows", "hung application")[action]))
            if action == 0:
                desktop.activate("Morvik Test Notes")
                desktop.run(["xdotool", "key", "alt+d"])
                time.sleep(0.5)
                desktop.run(["xdotool", "key", "Escape"])
            elif action == 1:
                desktop.activate("Soak churn")
            else:
                desktop.activate("Soak hung")
                os.kill(desktop.apps["hung"].pid, signal.SIGSTOP)
                time.sleep(1.5)
                os.kill(desktop.apps["hung"].pid, signal.SIGCONT)
            if time.monotonic() >= next_restart:
                actions.append((time.monotonic(), "accessibility bus restart"))
                desktop.restart_accessibility()
                restarts += 1
                next_restart += restart_every
            time.sleep(0.5)
            samples.append((time.monotonic() - began, rss_kib(monitor.pid)))
    finally:
        stop.set()
        ran = time.monotonic() - began
        exited = monitor.poll()
        if exited is None:
            monitor.kill()
        monitor.wait()
        desktop.close()

    errors.seek(0)
    error_lines = errors.read().decode(errors="replace").splitlines()
    after = [rss for at, rss in samples if at >= warmup]
    gaps = [b - a for a, b in zip(ticks, ticks[1:])]
    print(f"ran {ran:.0f} s, {len(ticks)} snapshots, {restarts} accessibility bus restarts")
    print(f"exits: {'none' if exited is None else exited}")
    print(f"standard error lines: {len(error_lines)}")
    for line in error_lines[:5]:
        print("  " + line)
    if after:
        print(f"RSS after {warmup:.0f} s warm-up: {after[0]} KiB, at the end: {after[-1]} KiB, "
              f"drift (max - min): {max(after) - min(after)} KiB")
    if gaps:
        longest = max(range(len(gaps)), key=gaps.__getitem__)
        doing = [what for at, what in actions if at <= ticks[longest + 1]]
        print(f"longest gap between snapshots: {gaps[longest]:.3f} s, during: {doing[-1] if doing else 'start'} "
              f"(first snapshot after {ticks[0] - began:.3f} s; gaps over 1 s: {sum(g > 1 for g in gaps)})")


if __name__ == "__main__":
    main()
