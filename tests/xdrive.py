"""Drives zororuzo and devorudo in a private Xvfb as a user would, and reads the screen.

Text is read as 8x8 cells (the library's font) without recognising letters: a glyph is learned
where first seen, so two texts pass for each other only with the same letters in the same places.
"""

import contextlib
import ctypes
import os
import signal
import subprocess
import time

import Xlib.X
import Xlib.display
import Xlib.protocol.event
from PIL import ImageGrab

# With no window manager the 640x480 window sits at (0, 0).
W, H, CELL = 640, 480, 8
BLACK, WHITE = (0, 0, 0), (255, 255, 255)
TITLES = {"zororuzo": "ZORORUZO - Convertitore di files in bitmap a 256 colori",
          "devorudo": "DEVORUDO - Convertitore di BITMAP a 256 colori in file"}
TITLE = (318, 300)           # the title line's centre
# The edit boxes overlap: a point in one box only, and where its text starts.
FIELDS = (((300, 36), (80, 32)), ((300, 88), (80, 48)))
FIELD_SPAN = (80, 592)
OK = (320, 420)
PARKED = (630, 470)          # over no text, box or button
HOLD = 0.3                   # a click held by hand; `click` presses and releases at once
NOTICE_TOP = (H - 8 * CELL) // 2  # the notice is 8 lines high, centred; text from line 2
SAVED = "Immagine terminata e salvata come:"
NOTICE_OK = (W // 2, NOTICE_TOP + 47)  # the notice's one button


def start(argv, **options):
    """Starts `argv` in a session of its own, which gets SIGTERM should this driver be killed."""
    return subprocess.Popen(argv, start_new_session=True, **options,  # 1: PR_SET_PDEATHSIG
                            preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGTERM))


def stop(process):
    """Ends a process that start() started, with its session: politely, then by force."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        with contextlib.suppress(ProcessLookupError, subprocess.TimeoutExpired):
            if process.poll() is None:
                os.killpg(process.pid, sig)
                process.wait(3)


class XServer:
    """A private Xvfb on a free display it picks itself."""

    def __enter__(self):
        # -noreset: the server would reset when its last client leaves, failing one that
        # connects meanwhile. -r: no key repeat, so a key held down is pressed once.
        self.process = start(["Xvfb", "-displayfd", "1", "-screen", "0", "%dx%dx24" % (W, H),
                              "-nolisten", "tcp", "-noreset", "-r"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
        # Its number, written once it takes clients (nothing should it fail to start).
        self.display = ":" + self.process.stdout.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        return self

    def __exit__(self, *exc):
        stop(self.process)

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], check=True, env=self.env)

    def screenshot(self):
        return ImageGrab.grab(xdisplay=self.display)

    def window(self):
        """The program's top-level window (python3-xlib) and the connection to close after."""
        connection = Xlib.display.Display(self.display)
        return connection.screen().root.query_tree().children[0], connection

    def close_window(self):
        """Sends the window the close request a window manager sends for its close button."""
        window, connection = self.window()
        protocols = connection.intern_atom("WM_PROTOCOLS")
        close = connection.intern_atom("WM_DELETE_WINDOW")
        window.send_event(Xlib.protocol.event.ClientMessage(
            window=window, client_type=protocols, data=(32, [close, Xlib.X.CurrentTime, 0, 0, 0])))
        connection.close()


def _ink(image, x0, x1, y, background):
    return [p != background for p in image.crop((x0, y, x1, y + CELL)).getdata()]


def find_notice(image):
    """The notice box's first and last columns, or None: its top and bottom lines are white."""
    top, bottom = ([x for x in range(W) if image.getpixel((x, y)) == WHITE]
                   for y in (NOTICE_TOP, NOTICE_TOP + 8 * CELL - 2))
    if len(top) > 40 and top == bottom and top[-1] - top[0] + 1 == len(top):
        return top[0], top[-1]


class Program:
    """zororuzo or devorudo (`which`) run as `argv` in `cwd`, its output in `log`."""

    def __init__(self, x, which, argv, cwd, log, env=None):
        self.x, self.log, self.known = x, log, {}
        with open(log, "wb") as out:
            self.process = start(argv, cwd=cwd, env=dict(x.env, **(env or {})), stdout=out,
                                 stderr=subprocess.STDOUT)
        title = TITLES[which]
        at = (TITLE[0] - len(title) * CELL // 2, TITLE[1])
        self.wait_for("dialog", lambda s: self.misread(s, *at, title), 30)

    def misread(self, image, x, y, text, background=BLACK, span=None, caret=False):
        """None when `text` is drawn from (x, y) with no other ink in the columns `span`, else
        what differs. Learns the new characters' glyphs when the whole text matches."""
        learned = dict(self.known)
        for i, ch in enumerate(text):
            cell = tuple(_ink(image, x + i * CELL, x + i * CELL + CELL, y, background))
            where = "character %d (%r) of %r" % (i, ch, text)
            if (ch == " ") != (not any(cell)) or all(cell):  # a full cell is the caret
                return where + ": a blank, a caret or a wrong space"
            if ch != " " and learned.setdefault(ch, cell) != cell:
                return where + ": not as it looked before"
            if ch != " " and any(c != ch and p == cell for c, p in learned.items()):
                return where + ": looks like another character"
        end = x + (len(text) + caret) * CELL  # the caret's cell, after the text
        if span and any(_ink(image, span[0], x, y, background) +
                        _ink(image, end, span[1], y, background)):
            return "ink beside %r" % text
        self.known = learned

    def misread_counter(self, image, progress):
        """As misread(), for the row counter: dark on white at the top left, black after it."""
        end = len(progress) * CELL
        if image.crop((end, 0, end + CELL, CELL)).getcolors() != [(64, BLACK)]:
            return "the row counter is longer than %r" % progress
        return self.misread(image, 0, 0, progress, WHITE)

    def close(self):
        stop(self.process)

    def fail(self, message, image=None):
        """Ends the program and raises an AssertionError with the screen and its output."""
        (self.x.screenshot() if image is None else image).save(self.log + ".png")
        if self.process.poll() is not None:
            message += "; it ended with status %s" % self.process.returncode
        self.close()
        with open(self.log, errors="replace") as f:
            raise AssertionError("%s (screen in %s.png); its output:\n%s" % (
                message, self.log, f.read()))

    def wait_for(self, what, check, timeout, act=None):
        """The first screen check() finds right, after act() (3 tries: input gets lost)."""
        for _ in range(3 if act else 1):
            if act:
                act()
            deadline, screen, wrong = time.monotonic() + timeout, None, "a screen never still"
            while time.monotonic() < deadline:
                if self.process.poll() is not None:
                    self.fail("it ended while waiting for " + what)
                time.sleep(0.05)
                last, screen = screen, self.x.screenshot()
                # A screen is read only when equal to the one before: not half drawn.
                if last is not None and last.tobytes() == screen.tobytes():
                    wrong = check(screen)
                    if wrong is None:
                        return screen
        self.fail("no %s: %s" % (what, wrong), screen)

    def set_names(self, *names):
        """Replaces each field's text: click into it, go to its end, erase, type."""
        for (point, at), text in zip(FIELDS, names):
            def act():
                self.x.xdotool("mousemove", *point, "click", 1,
                               "key", "--delay", 5, "End", *["BackSpace"] * 50,
                               "type", "--delay", 10, text)  # type takes every word after it
                self.x.xdotool("mousemove", *PARKED)
            self.wait_for("%r in its field" % text, lambda screen: self.misread(
                screen, *at, text, span=FIELD_SPAN, caret=True), 3, act)

    def wait_notice(self, lines=()):
        """Waits for the notice (text drawn after the box) and checks its three lines."""
        def check(screen):
            box = find_notice(screen)
            if not box:
                return "no box"
            for i, line in enumerate(lines):
                x = (box[0] + box[1] + 2) // 2 - len(line) * CELL // 2
                wrong = self.misread(screen, x, NOTICE_TOP + (i + 1) * CELL, line,
                                     span=(box[0] + 2, box[1] - 2))
                if wrong:
                    return "line %d: %s" % (i + 1, wrong)
        return self.wait_for("notice %r" % (lines,), check, 60)

    def dismiss(self, how=("key", "Return")):
        # Made again should the program miss it: input gets lost on a busy machine.
        """Return (or the close button, or a click on Ok) dismisses the notice; the program then
        ends, well."""
        for _ in range(3):
            if how == "close":
                self.x.close_window()
            elif how == "click":
                self.x.xdotool("mousemove", *NOTICE_OK, "click", 1, "mousemove", *PARKED)
            else:
                self.x.xdotool(*how)
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(7)
            if self.process.returncode is not None:
                break
        if self.process.returncode != 0:
            self.fail("it did not end, or failed, once its notice was dismissed")

    def convert(self, names, notice=None, progress=None, escape=False, dismiss=("key", "Return")):
        """Types the names, clicks OK or holds Esc, and checks the notice and the row counter."""
        try:
            self.set_names(*names)
            if escape:
                # Esc stops the run at its first byte, and its notice waits until Esc is let go.
                # The decoder stops before its first row, and shows no counter.
                self.x.xdotool("keydown", "Escape")
                try:
                    self.wait_for("the counter %r and no notice while Esc is held" % progress,
                                  lambda screen: "a notice" if find_notice(screen) else
                                  progress and self.misread_counter(screen, progress), 30)
                    time.sleep(0 if progress else 1)
                finally:
                    self.x.xdotool("keyup", "Escape")
            else:
                # A quick click, press and release at once, as a touchpad's tap or a remote
                # desktop gives it. One that counts starts the conversion: the row counter (at the
                # top left, black before) or a notice shows.
                def started(screen):
                    corner = screen.crop((0, 0, CELL, CELL)).getcolors()
                    if corner == [(CELL * CELL, BLACK)] and not find_notice(screen):
                        return "neither the row counter nor a notice"
                self.wait_for("OK to take a click", started, 5, lambda: self.x.xdotool(
                    "mousemove", *OK, "click", 1))
                # Then out of the way, so that a pointer move the next program misses cannot
                # leave its first press on OK.
                self.x.xdotool("mousemove", *PARKED)
            screen = self.wait_notice(notice or [SAVED, names[1], ""])
            wrong = progress and self.misread_counter(screen, progress)
            if wrong:
                self.fail(wrong, screen)
            self.dismiss(dismiss)
            os.unlink(self.log)  # kept, with the screen, on a failure
        finally:
            self.close()
