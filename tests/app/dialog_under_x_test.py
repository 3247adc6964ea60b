#!/usr/bin/python3
"""The operator dialog as a person meets it: the real quillmark binary on an
X server of its own (Xvfb), driven only by real pointer and key events
(XTEST, through xdotool) and the window manager's close message.

On a scratch copy of Data/ with the synthetic camera it starts the server
with the preview on, closes the preview with its close box, stops, opens
Pattern Capture, hovers a detected marker until its outline turns red on
the screen, clicks it, sees the notice of its likeness over the picture
(no message box) and fade, ends capture with Escape (with its close box under a
window manager) and closes the dialog with its close box. Then the new pattern's files, its saved catalogue row, the
unchecked preview switch and exit status 0 must be there.

Controls are found by object name through the dialog's geometry hook
(QUILLMARK_WIDGET_GEOMETRY), never by pixel positions guessed here.

usage: dialog_under_x_test.py QUILLMARK DATA_DIR [--window-manager PROGRAM]
                              [--screenshot FILE]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

from Xlib import X, display as xdisplay, protocol

SCREEN = (2400, 1000)
YELLOW = lambda r, g, b: r >= 200 and g >= 200 and b <= 80
RED = lambda r, g, b: r >= 200 and g <= 70 and b <= 70
DARK = lambda r, g, b: r <= 60 and g <= 60 and b <= 60


class Failure(Exception):
    pass


STARTED = time.monotonic()


def step(text):
    print("%5.1f s  %s" % (time.monotonic() - STARTED, text), flush=True)


def wait_for(what, condition, seconds=15.0, pause=0.05):
    """Polls `condition` until it returns something true; fails naming `what`."""
    give_up = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > give_up:
            raise Failure("gave up waiting for " + what)
        time.sleep(pause)


class Session:
    def __init__(self, quillmark, data_dir, window_manager, any_port=True):
        self.work = tempfile.mkdtemp(prefix="quillmark-x-")
        self.data = os.path.join(self.work, "Data")
        shutil.copytree(data_dir, self.data)
        settings = {"[CheckPreview]": "0", "[CameraSelected]": "0"}
        # Port 0: the system picks a free port, so parallel tests never clash.
        if any_port:
            settings["[Port]"] = "0"
        self.set_config(settings)
        self.geometry_file = os.path.join(self.work, "geometry.txt")
        self.processes = []
        self.display = self.start_xvfb()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("QT_QPA_PLATFORM", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        # Under AddressSanitizer: libxkbcommon-x11 hands strndup counted,
        # unterminated buffers, which the strict string checks take for overflows.
        if "ASAN_OPTIONS" in self.env:
            self.env["ASAN_OPTIONS"] += ":strict_string_checks=0"
        if window_manager:
            self.spawn([window_manager], "wm")
            time.sleep(0.5)
        self.x = xdisplay.Display(self.display)
        self.dialog = self.spawn([quillmark], "quillmark",
                                 extra_env={"QUILLMARK_WIDGET_GEOMETRY": self.geometry_file})

    def set_config(self, values):
        path = os.path.join(self.data, "config.txt")
        lines = []
        with open(path) as f:
            for line in f:
                words = line.split()
                if words and words[0] in values:
                    continue
                lines.append(line)
        lines += ["%s %s\n" % item for item in values.items()]
        with open(path, "w") as f:
            f.writelines(lines)

    def start_xvfb(self):
        # -displayfd picks a free display number and writes it to the pipe.
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        self.processes.append(xvfb)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    raise Failure("Xvfb did not start")
                number += chunk
        return ":" + number.decode().strip()

    def spawn(self, argv, name, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        log = open(os.path.join(self.work, name + ".log"), "w")
        process = subprocess.Popen(argv, cwd=self.work, env=env, stdout=log, stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
        shutil.rmtree(self.work, ignore_errors=True)

    def log(self, name):
        try:
            with open(os.path.join(self.work, name + ".log")) as f:
                return f.read()
        except OSError:
            return ""

    # ---- what the geometry hook wrote

    def geometry(self, window, name="*"):
        """(x, y, width, height) of the named widget as last written, or None."""
        found = None
        try:
            with open(self.geometry_file) as f:
                for line in f:
                    fields = line.rstrip("\n").split("\t")
                    if line.endswith("\n") and len(fields) == 6 and fields[0] == window and fields[1] == name:
                        found = tuple(int(v) for v in fields[2:])
        except FileNotFoundError:
            pass
        return found

    def control(self, object_name, window="Quillmark"):
        return wait_for("control %s in %s" % (object_name, window), lambda: self.geometry(window, object_name))

    # ---- real input

    def xdotool(self, *args):
        result = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        return result.stdout.strip() if result.returncode == 0 else ""

    def click(self, object_name, window="Quillmark"):
        x, y, w, h = self.control(object_name, window)
        self.xdotool("mousemove", "--sync", x + w // 2, y + h // 2)
        self.xdotool("click", 1)

    def window_id(self, title):
        ids = self.xdotool("search", "--onlyvisible", "--name", "^%s$" % title).split()
        return int(ids[0]) if ids else None

    def visible(self, title):
        return self.window_id(title) is not None

    def key(self, title, key):
        window = wait_for("window " + title, lambda: self.window_id(title))
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", key)

    def windows(self, title):
        return self.xdotool("search", "--onlyvisible", "--name", "^%s$" % title).split()

    def close_box(self, title):
        """What a click on the window's close box makes the window manager send."""
        window = self.x.create_resource_object("window", wait_for("window " + title, lambda: self.window_id(title)))
        protocols = self.x.intern_atom("WM_PROTOCOLS")
        delete = self.x.intern_atom("WM_DELETE_WINDOW")
        message = protocol.event.ClientMessage(window=window, client_type=protocols,
                                               data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(message, event_mask=X.NoEventMask)
        self.x.flush()

    def choose_camera(self):
        """The chooser opens preset to the Camera ID; Enter accepts it."""
        self.key("Select Camera", "Return")
        wait_for("the camera chooser to close", lambda: not self.visible("Select Camera"))

    # ---- the screen

    def screenshot(self, area):
        """The screen's pixels in `area` (x, y, width, height), as the X server holds them."""
        x, y, w, h = area
        root = self.x.screen().root
        image = root.get_image(x, y, w, h, X.ZPixmap, 0xFFFFFFFF)
        return Picture(w, h, image.data)

    def save_screenshot(self, area, path):
        x, y, w, h = area
        subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", path],
                       env=self.env, check=True)


class Picture:
    """Pixels of a 24-bit X screen: four bytes each, blue, green, red, unused."""

    def __init__(self, width, height, data):
        self.width, self.height, self.pixels = width, height, data

    def rgb(self, x, y):
        i = 4 * (y * self.width + x)
        return self.pixels[i + 2], self.pixels[i + 1], self.pixels[i]

    def count(self, colour, box):
        left, top, right, bottom = box
        return sum(1 for y in range(max(top, 0), min(bottom, self.height))
                   for x in range(max(left, 0), min(right, self.width)) if colour(*self.rgb(x, y)))

    def outlines(self, colour):
        """The connected runs of `colour` that look like a marker's outline
        (square-ish and sizeable), largest first: (centroid x, centroid y,
        (left, top, right, bottom)). The centroid lies inside the marker,
        pulled a little towards its direction stroke."""
        w, h, px = self.width, self.height, self.pixels
        mask = bytearray(w * h)
        for i in range(w * h):
            if colour(px[4 * i + 2], px[4 * i + 1], px[4 * i]):
                mask[i] = 1
        found = []
        for start in range(len(mask)):
            if not mask[start]:
                continue
            mask[start] = 0
            stack, members = [start], []
            while stack:
                i = stack.pop()
                members.append(i)
                x, y = i % w, i // w
                for nx, ny in ((x + 1, y), (x - 1, y), (x, y + 1), (x, y - 1)):
                    if 0 <= nx < w and 0 <= ny < h and mask[ny * w + nx]:
                        mask[ny * w + nx] = 0
                        stack.append(ny * w + nx)
            xs = [i % w for i in members]
            ys = [i // w for i in members]
            box = (min(xs), min(ys), max(xs) + 1, max(ys) + 1)
            bw, bh = box[2] - box[0], box[3] - box[1]
            if bw >= 30 and bh >= 30 and 0.5 <= bw / bh <= 2.0:
                found.append((sum(xs) // len(xs), sum(ys) // len(ys), box))
        return sorted(found, key=lambda f: (f[2][2] - f[2][0]) * (f[2][3] - f[2][1]), reverse=True)


def union(*areas):
    left = min(a[0] for a in areas)
    top = min(a[1] for a in areas)
    right = max(a[0] + a[2] for a in areas)
    bottom = max(a[1] + a[3] for a in areas)
    return (max(left - 10, 0), max(top - 10, 0), min(right + 10, SCREEN[0]) - max(left - 10, 0),
            min(bottom + 10, SCREEN[1]) - max(top - 10, 0))


def run_preview(s):
    s.control("1000")
    # A window manager places the dialog after it is first shown; a click
    # aimed before its geometry settles lands beside the control.
    def settled():
        first = s.geometry("Quillmark", "1039")
        time.sleep(0.3)
        return first is not None and first == s.geometry("Quillmark", "1039")
    wait_for("the dialog to settle where it is placed", settled)
    step("dialog shown; preview on, Start")
    s.click("1039")  # "Show preview window"
    s.click("1000")  # Start
    s.choose_camera()
    wait_for("the Preview window", lambda: s.visible("Preview"))
    step("preview shown; its close box")
    s.close_box("Preview")
    wait_for("the Preview window to close", lambda: not s.visible("Preview"))
    step("Stop")
    s.click("1001")  # Stop


def open_capture(s):
    # Pattern Capture is greyed until the stopped worker has shut down.
    def chooser_open():
        s.click("1031")
        return wait_for_quietly(lambda: s.visible("Select Camera"), 1.0)
    wait_for("the camera chooser after Pattern Capture", chooser_open, seconds=20)
    step("Pattern Capture chose its camera")
    s.choose_camera()
    wait_for("the Pattern Capture window", lambda: s.visible("Pattern Capture"))
    # The window takes the frame's size with the first frame.
    return wait_for("the first captured frame", lambda: (lambda g: g if g and g[2] > 200 else None)(
        s.geometry("Pattern Capture")))


def wait_for_quietly(condition, seconds):
    try:
        return wait_for("", condition, seconds)
    except Failure:
        return None


def hover_marker(s, window):
    """Points at a yellow-outlined marker and waits for its outline to turn
    red on the screen; the box around that outline, in window pixels."""
    for attempt in range(10):
        found = s.screenshot(window).outlines(YELLOW)
        if not found:
            time.sleep(0.1)
            continue
        x, y, (left, top, right, bottom) = found[0]
        # A warp onto a window is an enter, not a move; a hand on the mouse
        # keeps moving it a little.
        s.xdotool("mousemove", "--sync", window[0] + x - 2, window[1] + y - 2)
        for step in range(2):
            s.xdotool("mousemove_relative", "--sync", "--", 1, 1)
        # The synthetic markers drift and turn; a margin keeps the outline in
        # the box while a busy machine takes its time to show the next frame.
        box = (left - 20, top - 20, right + 20, bottom + 20)
        if wait_for_quietly(lambda: s.screenshot(window).count(RED, box) >= 60, 1.5):
            return box
    raise Failure("no detected marker turned red under the mouse")


def dark_band(s, window):
    """The share of dark pixels in the top rows of the capture window, where a notice shows."""
    band = (window[0], window[1] + 2, window[2], 10)
    return s.screenshot(band).count(DARK, (0, 0, band[2], band[3])) / float(band[2] * band[3])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quillmark")
    parser.add_argument("data_dir")
    parser.add_argument("--window-manager")
    parser.add_argument("--screenshot", help="saves the dialog and the hovered capture window here")
    args = parser.parse_args()

    # A screenshot for the documentation shows the shipped port.
    s = Session(os.path.abspath(args.quillmark), os.path.abspath(args.data_dir), args.window_manager,
                any_port=not args.screenshot)
    try:
        run_preview(s)
        window = open_capture(s)
        dialog_window = s.window_id("Quillmark")
        rows_before = sum(1 for name in os.listdir(s.data) if name.endswith(".patt"))
        number = "%03d" % rows_before
        step("capture window shown; hover a marker")
        hover_marker(s, window)
        step("outline red; click")
        if args.screenshot:
            s.save_screenshot(union(window, s.control("*")), os.path.abspath(args.screenshot))
        s.xdotool("click", 1)
        for suffix in (".patt", ".jpg"):
            path = os.path.join(s.data, number + suffix)
            wait_for(path, lambda: os.path.exists(path) and os.path.getsize(path) > 0)
        # The scene's markers are the shipped ones: the operator is told the
        # new pattern may be taken for one of them, over the picture, and no
        # box takes the input away from the capture window.
        step("pattern stored; its likeness to a shipped pattern shows over the picture")
        wait_for("the notice on standard output", lambda: "was written, but" in s.log("quillmark"))
        wait_for("the notice's band over the picture", lambda: dark_band(s, window) >= 0.6)
        time.sleep(1.0)
        if s.windows("Quillmark") != [str(dialog_window)]:
            raise Failure("a message box opened while capturing")
        step("the notice fades")
        wait_for("the notice to fade", lambda: dark_band(s, window) < 0.3, seconds=30)
        # Both ways to end capture: Escape bare, the close box under a window manager.
        if args.window_manager:
            # The close box hides the window at once; the dialog's, used
            # right after, must not be refused while the worker winds down.
            step("pattern stored; the capture window's close box, then at once the dialog's")
            s.close_box("Pattern Capture")
        else:
            step("pattern stored; Escape")
            s.key("Pattern Capture", "Escape")
            wait_for("pattern capture to end", lambda: not s.visible("Pattern Capture"))
            step("capture ended; the dialog's close box")
        s.close_box("Quillmark")
        try:
            status = s.dialog.wait(20)
        except subprocess.TimeoutExpired:
            raise Failure("the dialog did not close on its close box")
        if status != 0:
            raise Failure("quillmark exited with status %d" % status)

        with open(os.path.join(s.data, "pattern_list.txt")) as f:
            catalogue = f.read()
        row = "[Pattern]\tP%s\tData/%s.patt\t80\tuse\n" % (number, number)
        if row not in catalogue:
            raise Failure("the saved catalogue lacks %r:\n%s" % (row, catalogue))
        with open(os.path.join(s.data, number + ".jpg"), "rb") as f:
            if f.read(2) != b"\xff\xd8":
                raise Failure("Data/%s.jpg is no JPEG" % number)
        with open(os.path.join(s.data, "config.txt")) as f:
            preview = [line.split() for line in f if line.startswith("[CheckPreview]")]
        if preview != [["[CheckPreview]", "0"]]:
            raise Failure("closing the preview by hand did not uncheck its box: %r" % preview)
    except Failure as failure:
        print("FAILED:", failure)
        print("---- quillmark output\n" + s.log("quillmark"))
        return 1
    finally:
        s.close()
    print("passed in %.1f s%s" % (time.monotonic() - STARTED,
                                  " under " + args.window_manager if args.window_manager else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
