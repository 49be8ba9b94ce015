"""Drives zororuzo and devorudo in a private X server, as a user would, and reads the screen.

The programs run in a 640x480 window at (0, 0) of an Xvfb screen of the same size (no window
manager). The mouse and keyboard are driven with xdotool; the screen is read back with Pillow.

Reading text off the screen: the library's built-in font is 8x8 pixels, fixed width, so a line
of text is a row of 8x8 cells. `Glyphs.check` compares the cells with the text expected there:
a space must be an empty cell, any other character a cell with ink; a character seen before
must look exactly as it did; a character not seen before must look unlike every other known
character. The glyphs are learned from the dialog's title line, whose text is known, and from
the names typed, always on a screen that stopped changing (never from a half-drawn one). This is
enough to tell one notice from another without optical character recognition: two texts pass
the same check only if they have the same length, the same spaces and the same letters in the
same places (up to the few letters never seen before).
"""

import ctypes
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

from PIL import ImageChops, ImageGrab

SCREEN_W, SCREEN_H = 640, 480
CELL = 8                      # the built-in font's glyphs are 8x8
BLACK = (0, 0, 0)
WHITE = (255, 255, 255)

# The file-name dialog (the same in both programs).
SOURCE_FIELD = (300, 36)      # the two edit boxes overlap: this point is only in the source's
DESTINATION_FIELD = (300, 88)  # and this one only in the destination's
SOURCE_TEXT = (80, 32)        # where each field's text starts
DESTINATION_TEXT = (80, 48)
FIELD_CHARS = 49
FIELD_BOX = (80, 592)         # the columns of both edit boxes
OK_BUTTON = (320, 420)
OK_BUTTON_BOX = (240, 400, 402, 450)  # left, top, right, bottom (exclusive)
TITLE_TEXT_CENTRE = (318, 300)
PROGRESS_TEXT = (0, 0)        # "N di M", colour 128 on colour 255 (white)
PARKED_MOUSE = (630, 470)     # out of the way of every text, box and button
CLICK_HOLD = 0.3              # seconds: a button takes a click only when held a moment

# The completion notice: a box 8 text lines high, centred on the screen, with three text lines
# starting one line below its top, and one button "Ok".
NOTICE_H = 8 * CELL
NOTICE_Y = (SCREEN_H - NOTICE_H) // 2
NOTICE_BUTTON = "Ok"


class Failure(AssertionError):
    pass


_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """Run in each child before it starts: should this driver be killed (by a test timeout,
    say), the child gets SIGTERM instead of living on."""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


def poll(probe, timeout, interval=0.05):
    """Calls probe() until it returns something true, or `timeout` seconds pass (then None)."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


class XServer:
    """A private Xvfb on the first free display number from 50 up."""

    def __init__(self, first_display=50):
        self.first_display = first_display
        self.process = None
        self.display = None

    def __enter__(self):
        for number in range(self.first_display, self.first_display + 100):
            if os.path.exists("/tmp/.X%d-lock" % number) or \
               os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            if self._start(number):
                return self
        raise Failure("no free display number for Xvfb")

    def _start(self, number):
        # -noreset: by default the server resets each time its last client leaves, and a
        # screenshot that connects during the reset fails.
        ready_r, ready_w = os.pipe()
        process = subprocess.Popen(
            ["Xvfb", ":%d" % number, "-screen", "0", "%dx%dx24" % (SCREEN_W, SCREEN_H),
             "-nolisten", "tcp", "-noreset", "-displayfd", str(ready_w)],
            pass_fds=(ready_w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=_die_with_parent)
        os.close(ready_w)
        # Xvfb writes the display number and a newline to the pipe once it accepts clients; it
        # exits instead when the number is taken after all. Read up to the newline: Xvfb dies
        # if the pipe is closed between the two writes.
        answer = b""
        deadline = time.monotonic() + 10
        try:
            while not answer.endswith(b"\n"):
                left = deadline - time.monotonic()
                readable, _, _ = select.select([ready_r], [], [], max(0, left))
                chunk = os.read(ready_r, 32) if readable else b""
                if not chunk:
                    break
                answer += chunk
        finally:
            os.close(ready_r)
        if answer == b"%d\n" % number:
            self.process = process
            self.display = ":%d" % number
            return True
        stop(process)
        return False

    def __exit__(self, *exc):
        stop(self.process)

    def xkb_layout(self, layout):
        subprocess.run(["setxkbmap", layout], check=True, env=dict(os.environ, DISPLAY=self.display))

    def xdotool(self, *args):
        subprocess.run(["xdotool"] + [str(a) for a in args], check=True,
                       env=dict(os.environ, DISPLAY=self.display))

    def screenshot(self):
        return ImageGrab.grab(xdisplay=self.display)

    def settled_screenshot(self, timeout=2):
        """A screenshot equal to the one taken just before it: nothing half drawn in it
        (unless the screen keeps changing for `timeout` seconds)."""
        deadline = time.monotonic() + timeout
        last = self.screenshot().tobytes()
        while True:
            time.sleep(0.03)
            image = self.screenshot()
            now = image.tobytes()
            if now == last or time.monotonic() >= deadline:
                return image
            last = now

    def click(self, x, y):
        self.xdotool("mousemove", x, y, "mousedown", 1, "sleep", CLICK_HOLD, "mouseup", 1)

    def park_mouse(self):
        self.xdotool("mousemove", *PARKED_MOUSE)


def stop(process, grace=3):
    """Ends a process this module started: politely first, then by force."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


# ---- Reading text off the screen ----

def cell_pattern(image, x, y, is_ink):
    px = image.load()
    return tuple(is_ink(px[x + i, y + j]) for j in range(CELL) for i in range(CELL))


def ink_in(image, x0, x1, y, is_ink):
    """True when any pixel in columns x0..x1-1 of text rows y..y+7 is ink."""
    px = image.load()
    return any(is_ink(px[x, yy]) for x in range(max(0, x0), min(SCREEN_W, x1))
               for yy in range(y, y + CELL))


class Glyphs:
    def __init__(self):
        self.known = {}

    def check(self, image, x, y, text, is_ink, clear=None, caret=False):
        """Checks that `text` is drawn with its first cell at (x, y). `clear` is a span of
        columns (x0, x1) that, apart from the text's own cells (and the cell after them when
        `caret`), must hold no ink on these rows.
        Returns None when the screen matches, otherwise a description of the first mismatch.
        Learns the glyphs of the new characters when the whole text matches."""
        learned = dict(self.known)
        for i, ch in enumerate(text):
            pattern = cell_pattern(image, x + i * CELL, y, is_ink)
            where = "character %d (%r) of %r" % (i, ch, text)
            if ch == " ":
                if any(pattern):
                    return "%s: a space, but the cell has ink" % where
                continue
            if not any(pattern):
                return "%s: the cell is empty" % where
            if all(pattern):
                # A full cell is an edit field's caret, standing where a key is yet to come.
                return "%s: the caret stands there" % where
            if ch in learned:
                if learned[ch] != pattern:
                    return "%s: it does not look as before" % where
            else:
                for other, other_pattern in learned.items():
                    if other_pattern == pattern:
                        return "%s: it looks like %r" % (where, other)
                learned[ch] = pattern
        if clear:
            end = x + (len(text) + (1 if caret else 0)) * CELL
            if ink_in(image, clear[0], x, y, is_ink):
                return "ink before %r" % text
            if ink_in(image, end, clear[1], y, is_ink):
                return "ink after %r" % text
        self.known = learned
        return None


def not_black(p):
    return p != BLACK


def not_white(p):
    return p != WHITE


# ---- The completion notice ----

def find_notice(image):
    """The notice box's (left, width), or None while no notice is on the screen. The box has a
    one-pixel border; its last column and row are the shadow, drawn in the background colour."""
    px = image.load()
    row = [x for x in range(SCREEN_W) if px[x, NOTICE_Y] == WHITE]
    if len(row) < 40 or row[-1] - row[0] + 1 != len(row):
        return None
    left, right = row[0], row[-1]
    bottom = NOTICE_Y + NOTICE_H - 2
    for y in range(NOTICE_Y, bottom + 1):
        if px[left, y] != WHITE or px[right, y] != WHITE:
            return None
    if any(px[x, bottom] != WHITE for x in range(left, right + 1)):
        return None
    return left, right - left + 2


def notice_width(lines):
    """The box width the library gives a notice with these lines and the button "Ok"."""
    widest = max([len(line) * CELL for line in lines] + [len(NOTICE_BUTTON) * CELL + 3 * CELL])
    return widest + 4 * CELL


def check_notice(image, glyphs, lines):
    box = find_notice(image)
    if box is None:
        return "no notice on the screen"
    left, width = box
    if width != notice_width(lines):
        return "the notice is %d pixels wide, %d expected for %r" % (
            width, notice_width(lines), lines)
    centre = left + width // 2
    for i, line in enumerate(lines):
        y = NOTICE_Y + (i + 1) * CELL
        x = centre - len(line) * CELL // 2
        mismatch = glyphs.check(image, x, y, line, not_black, clear=(left + 2, left + width - 3))
        if mismatch:
            return "notice line %d: %s" % (i + 1, mismatch)
    return None


# ---- A program under test ----

class Program:
    """One run of zororuzo or devorudo in `workdir`, its output kept apart in `logdir`."""

    def __init__(self, xserver, path, title, workdir, logdir, name):
        self.x = xserver
        self.title = title
        self.glyphs = Glyphs()
        self.logdir = logdir
        self.name = name
        env = dict(os.environ, DISPLAY=xserver.display)
        self.stdout = open(os.path.join(logdir, name + ".stdout"), "wb")
        self.stderr = open(os.path.join(logdir, name + ".stderr"), "wb")
        self.process = subprocess.Popen([path], cwd=workdir, env=env, stdout=self.stdout,
                                        stderr=self.stderr, preexec_fn=_die_with_parent)

    def close(self):
        stop(self.process)
        self.stdout.close()
        self.stderr.close()

    def output(self):
        self.stderr.flush()
        with open(self.stderr.name, "rb") as f:
            return f.read().decode(errors="replace")

    def fail(self, message, image=None):
        if image is not None:
            shot = os.path.join(self.logdir, self.name + "-screen.png")
            image.save(shot)
            message += " (screen saved as %s)" % shot
        if self.process.poll() is not None:
            message += "; the program ended with status %s" % self.process.returncode
        err = self.output()
        if err:
            message += "; its stderr:\n" + err
        raise Failure(message)

    def alive(self):
        return self.process.poll() is None

    def wait_dialog(self, timeout=20):
        y = TITLE_TEXT_CENTRE[1]
        x = TITLE_TEXT_CENTRE[0] - len(self.title) * CELL // 2
        shown = []

        def probe():
            if not self.alive():
                self.fail("the program ended before its dialog showed")
            shown[:] = [self.x.settled_screenshot()]
            return self.glyphs.check(shown[0], x, y, self.title, not_black) is None
        if not poll(probe, timeout, 0.1):
            self.fail("the dialog's title %r did not show" % self.title, shown[0] if shown else None)

    def type_into(self, point, text_at, text, attempts=2):
        """Replaces a field's text: click into it, go to the end, erase, type."""
        for _ in range(attempts):
            self.x.xdotool("mousemove", point[0], point[1], "mousedown", 1, "sleep", CLICK_HOLD,
                           "mouseup", 1,
                           "key", "--delay", 5, "End", *["BackSpace"] * (FIELD_CHARS + 1),
                           "type", "--delay", 10, text)  # type takes every word after it
            self.x.park_mouse()
            shown = []

            def probe():
                shown[:] = [self.x.settled_screenshot()]
                # The caret stands in the cell after the text.
                return self.glyphs.check(shown[0], text_at[0], text_at[1], text, not_black,
                                         clear=(FIELD_BOX[0], FIELD_BOX[1]), caret=True) is None
            if poll(probe, 2):
                return
        self.fail("the field does not show %r after typing it" % text, shown[0])

    def set_names(self, source, destination):
        self.type_into(SOURCE_FIELD, SOURCE_TEXT, source)
        self.type_into(DESTINATION_FIELD, DESTINATION_TEXT, destination)

    def press_ok(self, attempts=3, wait=5):
        # The pointer stays on the button: moved at once, it would leave the button before
        # the dialog sees the release, and the click would not count. On a loaded machine
        # (a sanitizer build beside other work) the dialog may miss the press altogether: a
        # click that counted starts the conversion, which draws the row counter or the notice
        # somewhere off the button, so a screen unchanged there means the click was lost.
        before = self.x.settled_screenshot()

        def changed_off_button():
            now = self.x.screenshot()
            diff = ImageChops.difference(before.convert("RGB"), now.convert("RGB"))
            diff.paste((0, 0, 0), OK_BUTTON_BOX)
            return diff.getbbox() is not None

        for _ in range(attempts):
            self.x.click(*OK_BUTTON)
            if poll(changed_off_button, wait):
                return
        self.fail("the dialog took no click on OK", before)

    def wait_notice(self, lines, timeout=60):
        """Waits for the completion notice and checks its three lines."""
        shown = []

        def probe():
            if not self.alive():
                self.fail("the program ended without a notice")
            shown[:] = [self.x.screenshot()]
            return find_notice(shown[0]) is not None
        if not poll(probe, timeout, 0.1):
            self.fail("no notice within %d s" % timeout, shown[0] if shown else None)
        # The box is drawn before its text: give the text a moment.
        mismatch = []

        def readable():
            shown[:] = [self.x.settled_screenshot()]
            mismatch[:] = [check_notice(shown[0], self.glyphs, lines)]
            return mismatch[0] is None
        if not poll(readable, 2):
            self.fail("wrong notice: %s" % mismatch[0], shown[0])
        return shown[0]

    def check_progress(self, image, text):
        """The progress line, dark text on white, at the top-left corner."""
        mismatch = self.glyphs.check(image, PROGRESS_TEXT[0], PROGRESS_TEXT[1], text, not_white)
        if mismatch:
            self.fail("progress line: %s" % mismatch, image)
        # Past its end the dialog's black background shows.
        after = PROGRESS_TEXT[0] + len(text) * CELL
        if ink_in(image, after, after + CELL, PROGRESS_TEXT[1], not_black):
            self.fail("the progress line is longer than %r" % text, image)

    def dismiss_notice(self, timeout=20):
        """Return dismisses the notice; the program then ends, successfully."""
        self.x.xdotool("key", "Return")
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.fail("the program did not end after its notice", self.x.screenshot())
        if self.process.returncode != 0:
            self.fail("the program failed")


class Case:
    """A test case's surroundings: an X server, a working folder, a log folder."""

    def __init__(self, name):
        self.name = name

    def __enter__(self):
        self.workdir = tempfile.mkdtemp(prefix="e2e-work-")
        # Logs and screenshots of failures go to E2E_LOGDIR, or to a folder kept on failure.
        self.own_logdir = not os.environ.get("E2E_LOGDIR")
        self.logdir = os.environ.get("E2E_LOGDIR") or tempfile.mkdtemp(prefix="e2e-log-")
        os.makedirs(self.logdir, exist_ok=True)
        self.programs = []
        try:
            self.x = XServer().__enter__()
        except BaseException:
            shutil.rmtree(self.workdir, ignore_errors=True)
            raise
        return self

    def start(self, path, title):
        program = Program(self.x, path, title, self.workdir, self.logdir,
                          "%s-%d" % (self.name, len(self.programs) + 1))
        self.programs.append(program)
        program.wait_dialog()
        return program

    def path(self, name):
        return os.path.join(self.workdir, name)

    def __exit__(self, *exc):
        for program in self.programs:
            program.close()
        self.x.__exit__(*exc)
        shutil.rmtree(self.workdir, ignore_errors=True)
        if self.own_logdir and exc[0] is None:
            shutil.rmtree(self.logdir, ignore_errors=True)
