#!/usr/bin/env python3
"""The desktop window as a person meets it: a real window of the window
server under Xvfb, keys typed with xdotool, screenshots taken with xwd.

usage: desktop_window_test.py CASE --build DIR --tools DIR

CASE is one of the functions named in CASES. The cases needing a display
exit with status 77 (skipped) when Xvfb, xdotool or the X utilities are
missing.
"""

import argparse
import ctypes
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIPPED = 77
WIDTH, HEIGHT = 640, 360
# Xvfb's screen: large enough that the window opens at twice the frame size.
SCREEN = (1920, 1080)

# The done screen's headline colour and the confirmation's prompt colour,
# as they are on the screen (the window's words are 0x00BBGGRR).
DONE_GREEN = (0x8C, 0xFF, 0xA0)
CONFIRM_PROMPT = (0xFF, 0xC8, 0x82)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(condition, what, timeout=60.0, quiet=False):
    """The condition's first true value; a failure after `timeout` seconds
    (or, when `quiet`, the false value)."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= end:
            break
        time.sleep(0.02)
    if not value and not quiet:
        raise Failure(f"timed out waiting for {what}")
    return value


class Lines:
    """The lines a stream gives, collected by a thread."""

    def __init__(self, stream):
        self.lines = []
        self._lock = threading.Lock()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self._lock:
                self.lines.append(raw.decode("latin-1").rstrip("\n"))

    def snapshot(self):
        with self._lock:
            return list(self.lines)

    def text(self):
        return "\n".join(self.snapshot())


class Desktop:
    """An Xvfb display, ended (by its own process id) on exit. No window
    manager: a busy machine can keep one from mapping windows for a minute,
    and what one does for these cases (focus, the close request) is done
    here directly."""

    def __init__(self):
        self.processes = []

    def __enter__(self):
        try:
            return self._start()
        except BaseException:
            self.__exit__()
            raise

    def _start_xvfb(self, number):
        """Xvfb on display `number` once it accepts clients, or None when
        that display is taken. (Xvfb's -displayfd skips its lock file, so
        two tests starting at once could share a display.)"""
        # -noreset: without it the server starts over whenever its last client
        # leaves (our readiness probe, for one), dropping whoever connects then.
        xvfb = subprocess.Popen(["Xvfb", f":{number}", "-noreset", "-nolisten", "tcp", "-screen", "0",
                                 f"{SCREEN[0]}x{SCREEN[1]}x24"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def locked():
            if xvfb.poll() is not None:
                return "taken"
            try:
                with open(f"/tmp/.X{number}-lock") as lock:
                    return "ours" if int(lock.read().strip()) == xvfb.pid else None
            except (OSError, ValueError):
                return None

        if wait_for(locked, f"Xvfb to lock display :{number}") == "taken":
            return None
        env = dict(os.environ, DISPLAY=f":{number}")
        wait_for(lambda: xvfb.poll() is not None or subprocess.run(
            ["xwininfo", "-root"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0,
            f"Xvfb on :{number}")
        return xvfb if xvfb.poll() is None else None

    def _start(self):
        # Display numbers of our own, away from the usual ones: other
        # programs on this machine may start X servers at fixed numbers.
        first = 200 + os.getpid() % 700
        for number in range(first, first + 50):
            xvfb = self._start_xvfb(number)
            if xvfb:
                break
        check(xvfb, "no display for Xvfb")
        self.processes.append(xvfb)
        self.display = f":{number}"
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("WAYLAND_DISPLAY", None)
        return self

    def __exit__(self, *exc):
        # SIGTERM: Xvfb removes its lock file and socket.
        for p in reversed(self.processes):
            if p.poll() is None:
                p.terminate()
            p.wait()

    def kill_display(self):
        self.processes[0].terminate()
        self.processes[0].wait()

    def run_x(self, command):
        return subprocess.run(command, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              check=False).stdout.decode("latin-1")

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, stdout=subprocess.DEVNULL)

    def ask_to_close(self, window):
        """What a window manager sends when the user closes a window: the
        ICCCM WM_DELETE_WINDOW message."""
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):  # XClientMessageEvent, padded to an XEvent
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]

        display = x11.XOpenDisplay(self.display.encode())
        check(display, f"cannot open {self.display}")
        event = ClientMessage()
        event.type = 33  # ClientMessage
        event.window = int(window)
        event.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
        event.format = 32
        event.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        x11.XSendEvent(display, int(window), 0, 0, ctypes.byref(event))
        x11.XFlush(display)
        x11.XCloseDisplay(display)

    def window(self, name):
        found = wait_for(lambda: self.run_x(["xdotool", "search", "--onlyvisible", "--name", name]).split(), f"window {name!r}")
        self.xdotool("windowfocus", "--sync", found[0])
        return found[0]

    def geometry(self, window):
        fields = {}
        for line in self.run_x(["xwininfo", "-id", window]).splitlines():
            key, _, value = line.strip().partition(":")
            fields[key] = value.strip()
        return int(fields["Width"]), int(fields["Height"])

    def screenshot(self, window):
        """The window's pixels as rows of (r, g, b)."""
        data = subprocess.run(["xwd", "-silent", "-id", window], env=self.env, stdout=subprocess.PIPE,
                              check=True).stdout
        header = struct.unpack(">25I", data[:100])
        size, width, height, order, bits, per_line, colours = (header[0], header[4], header[5], header[7],
                                                                header[11], header[12], header[19])
        check(bits == 32, f"xwd gave {bits} bits per pixel")
        start = size + colours * 12
        fmt = ("<" if order == 0 else ">") + f"{width}I"
        rows = []
        for y in range(height):
            words = struct.unpack_from(fmt, data, start + y * per_line)
            rows.append([((w >> 16) & 255, (w >> 8) & 255, w & 255) for w in words])
        return rows


class WindowProgram:
    """A program with a desktop window; the window server's notes on
    standard error tell when the program waits for a key."""

    started = []  # for the report of a failed case

    def __init__(self, desktop, command, machine=None, stdin=subprocess.DEVNULL):
        env = dict(desktop.env, QOR_WINDOW="sdl", QOR_WINDOW_TRACE="1")
        if machine:
            env["QOR_MACHINE"] = machine
        self.desktop = desktop
        self.process = subprocess.Popen(command, env=env, stdin=stdin, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.out = Lines(self.process.stdout)
        self.notes = Lines(self.process.stderr)
        self.waits_used = 0
        WindowProgram.started.append(self)

    def notes_of(self, kind):
        return [n for n in self.notes.snapshot() if n.startswith("qor-window-server: " + kind)]

    def wait_until_waiting(self):
        try:
            wait_for(lambda: len(self.notes_of("waiting")) > self.waits_used or self.process.poll() is not None,
                     "the program to wait for a key")
        except Failure as failure:
            raise Failure(f"{failure}; the window server noted:\n{self.notes.text()}")
        check(self.process.poll() is None, "the program ended:\n" + self.out.text() + self.notes.text())
        self.waits_used = len(self.notes_of("waiting"))

    def press(self, *keys):
        """Each key once the program waits for it, as a person watching
        the window types."""
        for key in keys:
            self.wait_until_waiting()
            self.desktop.xdotool("key", key)

    def finish(self, timeout=60):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise Failure("the program did not end:\n" + self.out.text())


def count_colour(rows, colour, y0=0, y1=None):
    return sum(row.count(colour) for row in rows[y0:y1])


def scale_of(desktop, window):
    w, h = desktop.geometry(window)
    return min(w // WIDTH, h // HEIGHT)


class Sample:
    """The sample media in a fresh machine with one empty drive. The media's
    `extract` takes a while per archive, so an installation lasts long
    enough to act during it."""

    def __init__(self, args, work):
        self.args = args
        self.machine = os.path.join(work, "machine")
        media = os.path.join(work, "media")
        subprocess.run([sys.executable, os.path.join(args.tools, "make-sample-media"), args.build, media],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run([sys.executable, self.machine_tool(), "create", self.machine, "--media", media,
                        "--drives", "1", "--size", "64M"], check=True, stdout=subprocess.DEVNULL)
        slow = os.path.join(self.machine, "media", "binaries", "extract")
        with open(slow, "w") as script:
            script.write(f"#!/bin/sh\nsleep 0.4\nexec {os.path.join(args.build, 'extract', 'extract')} \"$@\"\n")
        os.chmod(slow, 0o755)

    def machine_tool(self):
        return os.path.join(self.args.tools, "qor-machine")

    def installer(self, desktop):
        return WindowProgram(desktop, [os.path.join(self.args.build, "installer", "installer")], self.machine)

    def boots(self, work):
        image = os.path.join(work, "disk.img")
        subprocess.run([sys.executable, self.machine_tool(), "export", self.machine, "0", image], check=True,
                       stdout=subprocess.DEVNULL)
        boot = subprocess.run([sys.executable, self.machine_tool(), "boot", image, "--timeout", "60", "--expect",
                               "QOR-OS test kernel booted"], stdout=subprocess.PIPE)
        return boot.returncode == 0


PACKAGES = ("libqor", "hello", "coreutils", "docs")


def walk_to_confirmation(installer):
    # Welcome, drive 0, keep the options.
    installer.press("Return", "Return", "i")


def case_walk(args, work):
    """The whole installation through the desktop window; a key typed while
    the installer is busy is dropped, so the done screen stays for the Q
    typed there."""
    sample = Sample(args, work)
    with Desktop() as desktop:
        installer = sample.installer(desktop)
        window = desktop.window("Installer")
        check(scale_of(desktop, window) == 2, f"window of {desktop.geometry(window)} on a {SCREEN} screen")
        walk_to_confirmation(installer)
        installer.press("Return")
        wait_for(lambda: any(l.startswith("extract: ") for l in installer.out.snapshot()), "the package phase")
        desktop.xdotool("key", "q")
        installer.wait_until_waiting()
        check(installer.process.poll() is None, "the Q typed during the installation reached the installer")
        check(installer.notes_of("dropped early key 113"), "the Q typed during the installation was not seen")
        shot = desktop.screenshot(window)
        check(count_colour(shot, DONE_GREEN, 56 * 2, 72 * 2) > 0, "not the done screen")
        desktop.xdotool("key", "q")
        status = installer.finish()
    out = installer.out.text()
    check(status == 0, f"status {status}:\n{out}")
    check("[installer]" not in out, out)
    for package in PACKAGES:
        check(f"install: installed {package}@1.0" in out, f"{package} not installed:\n{out}")


def case_display_loss(args, work):
    """The display dies during the package phase: the installation runs to
    its end, the done screen's wait fails and ends the program, and the
    drive boots."""
    sample = Sample(args, work)
    with Desktop() as desktop:
        installer = sample.installer(desktop)
        desktop.window("Installer")
        walk_to_confirmation(installer)
        installer.press("Return")
        wait_for(lambda: any(l.startswith("extract: ") for l in installer.out.snapshot()), "the package phase")
        desktop.kill_display()
        status = installer.finish()
    out = installer.out.text()
    check(status == 0, f"status {status}:\n{out}")
    check("[installer] gui call failed: " in out, "no failed window call reported:\n" + out)
    check("[installer] failure" not in out and "[installer] error" not in out, out)
    for package in PACKAGES:
        check(f"install: installed {package}@1.0" in out, f"{package} not installed:\n{out}")
    check(sample.boots(work), "the installed drive does not boot")


def case_held_enter(args, work):
    """Enter held for a second on the options list's last row reaches the
    confirmation once; its auto-repeat never confirms the installation."""
    sample = Sample(args, work)
    with Desktop() as desktop:
        installer = sample.installer(desktop)
        window = desktop.window("Installer")
        installer.press("Return", "Return")
        installer.press(*["Down"] * 20)  # the cursor stops on "[>] continue to disk format"
        installer.wait_until_waiting()
        repeats_before = len(installer.notes_of("dropped repeat"))
        desktop.xdotool("keydown", "Return")
        time.sleep(1)
        desktop.xdotool("keyup", "Return")
        installer.wait_until_waiting()
        time.sleep(0.3)
        check(len(installer.notes_of("delivered key 13")) == 3, "\n".join(installer.notes.snapshot()))
        check(len(installer.notes_of("dropped repeat")) > repeats_before, "the display sent no auto-repeat")
        shot = desktop.screenshot(window)
        check(count_colour(shot, CONFIRM_PROMPT, 76 * 2, 92 * 2) > 0, "not the confirmation screen")
        desktop.xdotool("key", "q")
        status = installer.finish()
    out = installer.out.text()
    check(status == 0, f"status {status}")
    check("install:" not in out and "[installer]" not in out, "an installation ran:\n" + out)


def probe_frame_at(shot, scale, left, top):
    """Differences between a screenshot and the probe's frame drawn at
    `scale` from (left, top), checked at the centre of every 8th frame pixel."""
    wrong = 0
    for y in range(0, HEIGHT, 8):
        for x in range(0, WIDTH, 8):
            want = (0xFF, 0, 0)
            if 100 <= x < 300 and 100 <= y < 200:
                want = (0, 0xFF, 0)
            elif x < 16 and y < 16:
                want = (0, 0, 0xFF)
            if shot[top + y * scale + scale // 2][left + x * scale + scale // 2] != want:
                wrong += 1
    return wrong


def case_busy_repaint(args, work):
    """A program that does not wait for events: its window repaints after
    being covered, is letterboxed when resized, and the key and the close
    request made meanwhile arrive as just the close once it waits."""
    with Desktop() as desktop:
        probe = WindowProgram(desktop, [args.probe], stdin=subprocess.PIPE)
        wait_for(lambda: "presented" in probe.out.snapshot(), "the probe's frame")
        window = desktop.window("Probe")
        scale = scale_of(desktop, window)
        wait_for(lambda: probe_frame_at(desktop.screenshot(window), scale, 0, 0) == 0, "the frame shown")
        cover = subprocess.Popen(["xlogo", "-geometry", f"{SCREEN[0]}x{SCREEN[1]}+0+0"], env=desktop.env,
                                 stderr=subprocess.DEVNULL)
        try:
            desktop.window("xlogo")
            time.sleep(0.5)
            check(probe_frame_at(desktop.screenshot(window), scale, 0, 0) > 0, "the cover did not cover")
        finally:
            cover.kill()
            cover.wait()
        time.sleep(0.5)
        wrong = probe_frame_at(desktop.screenshot(window), scale, 0, 0)
        check(wrong == 0, f"{wrong} places differ after the window was uncovered")

        desktop.xdotool("windowsize", "--sync", window, "1000", "600")
        wait_for(lambda: desktop.geometry(window) == (1000, 600), "the resize")
        time.sleep(0.3)
        shot = desktop.screenshot(window)
        check(probe_frame_at(shot, 1, 180, 120) == 0, "the frame is not centred at scale 1")
        check(shot[0][0] == (0, 0, 0) and shot[599][999] == (0, 0, 0), "no black letterbox")

        desktop.xdotool("windowfocus", "--sync", window)
        desktop.xdotool("key", "a")
        desktop.ask_to_close(window)
        wait_for(lambda: probe.notes_of("kept close"), "the close request")
        probe.process.stdin.write(b"go\n")
        probe.process.stdin.flush()
        check(probe.finish(timeout=20) == 0, "the probe failed")
    check(probe.out.snapshot() == ["presented", "event 3 0"], "events: " + probe.out.text())


def case_no_display_library(args, work):
    """Programs need no display library: only the window server links one."""
    for program in (os.path.join(args.build, "installer", "installer"),
                    os.path.join(args.build, "extract", "extract")):
        dynamic = subprocess.run(["readelf", "-d", program], stdout=subprocess.PIPE, check=True).stdout.decode()
        needed = [line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]
        display = [n for n in needed if n.lower().startswith(("libsdl", "libx11", "libxcb", "libwayland",
                                                                "libpulse", "libasound", "libgl", "libegl"))]
        check(not display, f"{program} needs {display}")


CASES = {
    "walk": case_walk,
    "display_loss": case_display_loss,
    "held_enter": case_held_enter,
    "busy_repaint": case_busy_repaint,
    "no_display_library": case_no_display_library,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--build", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--probe")
    args = parser.parse_args()
    if args.case != "no_display_library":
        missing = [tool for tool in ("Xvfb", "xdotool", "xwd", "xlogo", "xwininfo")
                   if not shutil.which(tool)]
        if missing:
            print(f"skipped: no {', '.join(missing)} (scripts/install-deps.sh installs them)")
            return SKIPPED
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    work = tempfile.mkdtemp(prefix="desktop-window-")
    try:
        CASES[args.case](args, work)
    except Failure as failure:
        print(f"FAILED {args.case}: {failure}")
        for program in WindowProgram.started:
            print(f"-- {program.process.args[0]}: output\n{program.out.text()}\n-- standard error\n"
                  f"{program.notes.text()}")
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"passed {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
