"""Drives zororuzo and devorudo in a private Xvfb as a user would, and reads the screen.

With no window manager the 640x480 window sits at (0, 0). Text is a row of 8x8 cells (the
library's font), read without recognising letters: a space is an empty cell, any other
character a cell with ink that looks as that character did before or, when new, unlike every
character known. Glyphs are learned from the dialog's title and the names typed, so two texts
pass for each other only with the same letters in the same places (up to letters never seen).
"""

import ctypes
import os
import signal
import subprocess
import time

from PIL import ImageChops, ImageGrab

W, H, CELL = 640, 480, 8
BLACK, WHITE = (0, 0, 0), (255, 255, 255)
TITLES = {"zororuzo": "ZORORUZO - Convertitore di files in bitmap a 256 colori",
          "devorudo": "DEVORUDO - Convertitore di BITMAP a 256 colori in file"}
TITLE = (318, 300)           # the title line's centre
# The edit boxes overlap: a point in one box only, and where its text starts.
FIELDS = (((300, 36), (80, 32)), ((300, 88), (80, 48)))
FIELD_SPAN = (80, 592)
OK, OK_BOX = (320, 420), (240, 400, 401, 449)
PARKED = (630, 470)          # over no text, box or button
HOLD = 0.3                   # a button takes a click only when held a moment
NOTICE_TOP = (H - 8 * CELL) // 2  # the notice is 8 lines high, centred; text from line 2


class Failure(AssertionError):
    pass


def poll(probe, timeout, interval=0.05):
    """probe()'s first true value within `timeout` seconds, else its last value."""
    deadline = time.monotonic() + timeout
    while not (value := probe()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value


def _die_with_parent():
    # Should the driver be killed (a test's timeout), its children get SIGTERM too.
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def stop(process, group=False):
    """Ends a process started here (with its session when `group`): politely, then by force."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            if process.poll() is None:
                os.killpg(process.pid, sig) if group else process.send_signal(sig)
                process.wait(3)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass


class XServer:
    """A private Xvfb on a free display it picks itself. -noreset: the server would reset when
    its last client leaves, failing one that connects meanwhile. -r: no key repeat, so a key
    held down is pressed once however long the test holds it."""

    def __enter__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (W, H),
             "-nolisten", "tcp", "-noreset", "-r"], pass_fds=(write_end,),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        os.close(write_end)
        with os.fdopen(read_end) as f:  # the number and a newline, once it takes clients
            number = f.readline().strip()
        if not number.isdigit():
            stop(self.process)
            raise Failure("Xvfb did not start")
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display)
        return self

    def __exit__(self, *exc):
        stop(self.process)

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], check=True, env=self.env)

    def layout(self, name):
        subprocess.run(["setxkbmap", name], check=True, env=self.env)

    def screenshot(self):
        return ImageGrab.grab(xdisplay=self.display)

    def settled(self, timeout=2):
        """A screenshot equal to the one before it: nothing half drawn."""
        shots = [self.screenshot()]

        def same():
            shots[:] = [shots[-1], self.screenshot()]
            return shots[0].tobytes() == shots[1].tobytes()
        poll(same, timeout, 0.03)
        return shots[-1]


def _ink(image, x0, x1, y, background):
    return [p != background for p in image.crop((x0, y, x1, y + CELL)).getdata()]


class Glyphs:
    def __init__(self):
        self.known = {}

    def check(self, image, x, y, text, background=BLACK, span=None, caret=False):
        """None when `text` is drawn from (x, y), else what differs. Within the columns `span`
        the row has no other ink (but the caret in the cell after it, when `caret`). Learns
        the new characters' glyphs when the whole text matches."""
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
        end = x + (len(text) + caret) * CELL
        if span and any(_ink(image, span[0], x, y, background) +
                        _ink(image, end, span[1], y, background)):
            return "ink beside %r" % text
        self.known = learned


def find_notice(image):
    """The notice box's first and last columns, or None: its top and bottom lines are white
    (the row below it is a shadow)."""
    top, bottom = ([x for x in range(W) if image.getpixel((x, y)) == WHITE]
                   for y in (NOTICE_TOP, NOTICE_TOP + 8 * CELL - 2))
    if len(top) > 40 and top == bottom and top[-1] - top[0] + 1 == len(top):
        return top[0], top[-1]


class Program:
    """zororuzo or devorudo (`which`) run as `argv` in `cwd`, its output in the file `log`;
    ready once its dialog shows."""

    def __init__(self, x, which, argv, cwd, log, env=None, timeout=30):
        self.x, self.log, self.glyphs = x, log, Glyphs()
        with open(log, "wb") as out:
            self.process = subprocess.Popen(
                argv, cwd=cwd, env=dict(x.env, **(env or {})), stdout=out,
                stderr=subprocess.STDOUT, start_new_session=True, preexec_fn=_die_with_parent)
        title = TITLES[which]
        at = (TITLE[0] - len(title) * CELL // 2, TITLE[1])
        self.wait_for("dialog", lambda s: self.glyphs.check(s, *at, title), timeout)

    def close(self):
        stop(self.process, group=True)

    def fail(self, message, image=None):
        """Ends the program and raises a Failure with the screen and its output."""
        if image is not None:
            image.save(self.log + ".png")
            message += " (screen in %s.png)" % self.log
        if self.process.poll() is not None:
            message += "; it ended with status %s" % self.process.returncode
        self.close()
        with open(self.log, errors="replace") as f:
            raise Failure(message + "; its output:\n" + f.read())

    def wait_for(self, what, check, timeout):
        """The first settled screen on which check() finds nothing wrong; else fails."""
        seen = [None, None]

        def probe():
            if self.process.poll() is not None:
                self.fail("it ended while waiting for " + what)
            seen[0] = self.x.settled()
            seen[1] = check(seen[0])
            return seen[1] is None
        if not poll(probe, timeout, 0.1):
            self.fail("no %s: %s" % (what, seen[1]), seen[0])
        return seen[0]

    def set_names(self, *names):
        """Replaces each field's text: click into it, go to its end, erase, type. A program
        just started may miss the lot: then again."""
        for (point, at), text in zip(FIELDS, names):
            def shows(screen):
                return self.glyphs.check(screen, *at, text, span=FIELD_SPAN, caret=True)
            for _ in range(3):
                self.x.xdotool("mousemove", *point, "mousedown", 1, "sleep", HOLD, "mouseup", 1,
                               "key", "--delay", 5, "End", *["BackSpace"] * 50,
                               "type", "--delay", 10, text)  # type takes every word after it
                self.x.xdotool("mousemove", *PARKED)
                if poll(lambda: shows(self.x.settled()) is None, 3, 0.1):
                    break
            else:
                self.wait_for("%r in its field" % text, shows, 0)

    def press_ok(self, attempts=3):
        """Clicks OK, the pointer left on it (the dialog must not see it leave before the
        release). A busy machine may lose a click; one that counts starts the conversion,
        which draws off the button."""
        before = self.x.settled()

        def changed():
            diff = ImageChops.difference(before, self.x.screenshot())
            diff.paste(BLACK, OK_BOX)
            return diff.getbbox()
        for _ in range(attempts):
            self.x.xdotool("mousemove", *OK, "mousedown", 1, "sleep", HOLD, "mouseup", 1)
            if poll(changed, 5):
                # Out of the way, so that a pointer move the next program misses cannot leave
                # its first press on OK.
                self.x.xdotool("mousemove", *PARKED)
                return
        self.fail("the dialog took no click on OK", before)

    def wait_notice(self, lines=None, timeout=60):
        """Waits for the notice (text drawn after the box) and checks its three lines."""
        def check(screen):
            box = find_notice(screen)
            if not box:
                return "no box"
            for i, line in enumerate(lines or []):
                x = (box[0] + box[1] + 2) // 2 - len(line) * CELL // 2
                wrong = self.glyphs.check(screen, x, NOTICE_TOP + (i + 1) * CELL, line,
                                          span=(box[0] + 2, box[1] - 2))
                if wrong:
                    return "line %d: %s" % (i + 1, wrong)
        return self.wait_for("notice %r" % (lines,), check, timeout)

    def dismiss(self, timeout=20):
        """Return dismisses the notice; the program then ends, successfully."""
        self.x.xdotool("key", "Return")
        try:
            if self.process.wait(timeout):
                self.fail("it failed")
        except subprocess.TimeoutExpired:
            self.fail("it did not end after its notice", self.x.screenshot())

    def convert(self, names, notice=None, progress=None, escape=False):
        """Types the names, clicks OK (or holds Esc: it closes the dialog and stops the
        conversion), checks the notice and the row counter, and presses Return."""
        try:
            self.set_names(*names)
            if escape:
                # The run stops at its first byte, and its notice waits until Esc is let go.
                self.x.xdotool("keydown", "Escape")
                try:
                    self.wait_for("the counter %r and no notice while Esc is held" % progress,
                                  lambda screen: find_notice(screen) or self.glyphs.check(
                                      screen, 0, 0, progress, WHITE), 30)
                finally:
                    self.x.xdotool("keyup", "Escape")
            else:
                self.press_ok()
            screen = self.wait_notice(notice)
            if progress:  # the row counter: dark on white at the top left, then black
                end = len(progress) * CELL
                wrong = self.glyphs.check(screen, 0, 0, progress, WHITE)
                if wrong or screen.crop((end, 0, end + CELL, CELL)).getcolors() != [(64, BLACK)]:
                    self.fail("row counter %r: %s" % (progress, wrong or "longer"), screen)
            self.dismiss()
        finally:
            self.close()
