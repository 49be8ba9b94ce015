"""Checks what `cmake --install` and CPack lay out, and that the launchers start the programs.

    check_install.py layout    <cmake> <build dir>
    check_install.py launchers <cmake> <build dir>
    check_install.py package   <cpack> <build dir>

layout:    installs into a temporary prefix; checks bin/, the launchers (desktop-file-validate,
           keys, the program they run, the folder they start it in) and the icons (PNG, size).
launchers: installs likewise, then starts each program from its launcher in a private Xvfb,
           fills in the dialog with names relative to the home folder, and checks the files
           made there: zororuzo's carrier and devorudo's file back from it.
package:   builds the .deb into a temporary folder and reads its control fields and files;
           runs lintian on it, appstreamcli validate on its metainfo and man --warnings on
           its manual pages, and checks its licence text and versions.

The programs expected are zororuzo, and devorudo when the build has it. Exit code 77 means
skipped (a tool missing).
"""

import ctypes
import gzip
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from xml.etree import ElementTree

from PIL import Image, ImageGrab

ICON_SIZES = (48, 64)
SKIP = 77

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def die_with_parent():
    """Run in a child before it starts: should this script be killed (by the test's timeout),
    the child (Xvfb, a program) gets SIGTERM instead of living on."""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def expected_programs(build):
    programs = ["zororuzo"]
    if os.path.isdir(os.path.join(build, "devorudo")):
        programs.append("devorudo")
    return programs


def install(cmake, build, prefix):
    subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)


# ---- desktop entries ----------------------------------------------------------------------------

def read_desktop_entry(path):
    """The keys of the [Desktop Entry] group, with string escapes decoded."""
    entry, group = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line.startswith("["):
                group = line
                continue
            if group == "[Desktop Entry]":
                key, _, value = line.partition("=")
                value = re.sub(r"\\(.)", lambda m: {"s": " ", "n": "\n", "t": "\t",
                                                     "r": "\r"}.get(m.group(1), m.group(1)), value)
                entry[key.strip()] = value
    return entry


def exec_argv(exec_value):
    """Splits an Exec value into arguments by the desktop entry quoting rules."""
    args, current, quoted, started, i = [], "", False, False, 0
    while i < len(exec_value):
        c = exec_value[i]
        if quoted:
            if c == "\\" and i + 1 < len(exec_value):
                i += 1
                current += exec_value[i]
            elif c == '"':
                quoted = False
            else:
                current += c
        elif c == '"':
            quoted, started = True, True
        elif c == " ":
            if started:
                args.append(current)
            current, started = "", False
        else:
            current += c
            started = True
        i += 1
    check(not quoted, "Exec has an unclosed quote: %r" % exec_value)
    if started:
        args.append(current)
    check(not any(re.search(r"%[fFuUick]", a) for a in args),
          "Exec takes files or URLs, but the programs take no arguments: %r" % exec_value)
    return args


def program_run_by(argv):
    """The program an Exec line starts: itself, or the one a `sh -c` command execs."""
    if os.path.basename(argv[0]) == "sh" and len(argv) >= 3 and argv[1] == "-c":
        words = argv[2].replace(";", " ").replace("&&", " ").split()
        check("exec" in words, "the shell command does not exec a program: %r" % argv[2])
        return words[words.index("exec") + 1]
    return argv[0]


def check_entry(prefix, program, work):
    path = os.path.join(prefix, "share", "applications", program + ".desktop")
    check(os.path.isfile(path), "no launcher " + path)
    validator = shutil.which("desktop-file-validate")
    if validator:
        result = subprocess.run([validator, path], capture_output=True, text=True)
        check(result.returncode == 0 and not result.stdout.strip(),
              "desktop-file-validate on %s:\n%s%s" % (path, result.stdout, result.stderr))
    else:
        print("SKIPPED desktop-file-validate: not installed (scripts/setup --with-tests "
              "installs desktop-file-utils); the other checks still run")

    entry = read_desktop_entry(path)
    check(entry.get("Type") == "Application", "%s: Type is not Application" % path)
    check(entry.get("Terminal") == "false", "%s: Terminal is not false" % path)
    check("Utility" in entry.get("Categories", "").split(";"), "%s: not in Utility" % path)
    check(entry.get("Icon") == program, "%s: Icon is not %s" % (path, program))
    for key in ("Name", "GenericName", "Comment"):
        check(entry.get(key), "%s: no %s" % (path, key))
    for key in ("GenericName[it]", "Comment[it]"):
        check(entry.get(key), "%s: no Italian %s" % (path, key))
        check(entry[key] != entry[key.split("[")[0]], "%s: %s is not translated" % (path, key))

    # The program the launcher runs, and the one TryExec looks for, are the installed one.
    bindir = os.path.join(prefix, "bin")
    argv = exec_argv(entry["Exec"])
    run = program_run_by(argv)
    check(run == program, "%s runs %r, not %s" % (path, run, program))
    check(entry.get("TryExec", program) == program, "%s: TryExec is not %s" % (path, program))
    check(os.access(os.path.join(bindir, run), os.X_OK),
          "%s runs %s, not in %s" % (path, run, bindir))
    if os.path.isabs(argv[0]):
        check(os.access(argv[0], os.X_OK), "%s: %s cannot be run" % (path, argv[0]))
    elif argv[0] != program:
        check(shutil.which(argv[0]), "%s: %s is not on PATH" % (path, argv[0]))

    # Names are relative to the folder the program starts in: the launcher must make it the home
    # folder, whatever folder the menu itself runs in. A stand-in program reports its folder.
    home = os.path.join(work, "home-" + program)
    stubs = os.path.join(work, "stubs-" + program)
    os.makedirs(home)
    os.makedirs(stubs)
    report = os.path.join(work, program + ".cwd")
    with open(os.path.join(stubs, program), "w") as stub:
        stub.write('#!/bin/sh\npwd -P > "%s"\n' % report)
    os.chmod(os.path.join(stubs, program), 0o755)
    env = dict(os.environ, HOME=home, PATH=stubs + os.pathsep + os.environ.get("PATH", ""))
    subprocess.run(argv, cwd=entry.get("Path") or "/", env=env, check=True, timeout=30)
    with open(report) as f:
        started_in = f.read().strip()
    check(started_in == os.path.realpath(home),
          "%s starts %s in %s, not in the home folder %s" % (path, program, started_in, home))
    return entry, argv


def check_icons(prefix, program):
    for size in ICON_SIZES:
        path = os.path.join(prefix, "share", "icons", "hicolor", "%dx%d" % (size, size), "apps",
                            program + ".png")
        check(os.path.isfile(path), "no icon " + path)
        with Image.open(path) as image:
            check(image.format == "PNG", "%s is %s, not PNG" % (path, image.format))
            check(image.size == (size, size), "%s is %dx%d" % ((path,) + image.size))
            image.load()
            check(len(set(image.getdata())) > 8, "%s is nearly blank" % path)


def layout(cmake, build):
    with tempfile.TemporaryDirectory(prefix="zororuzo-install-") as work:
        prefix = os.path.join(work, "prefix")
        install(cmake, build, prefix)
        programs = expected_programs(build)
        for program in programs:
            binary = os.path.join(prefix, "bin", program)
            check(os.path.isfile(binary) and os.access(binary, os.X_OK), "no program " + binary)
            check_entry(prefix, program, work)
            check_icons(prefix, program)
        # Nothing else: no build tools, no static libraries, no headers.
        found = sorted(os.path.relpath(os.path.join(d, f), prefix)
                       for d, _, files in os.walk(prefix) for f in files)
        wanted = sorted(["bin/" + p for p in programs] +
                        ["share/applications/%s.desktop" % p for p in programs] +
                        ["share/icons/hicolor/%dx%d/apps/%s.png" % (s, s, p)
                         for p in programs for s in ICON_SIZES] +
                        ["share/man/man1/%s.1.gz" % p for p in programs] +
                        ["share/metainfo/%s.metainfo.xml" % metainfo_id(p) for p in programs] +
                        ["share/doc/zororuzo/copyright"])
        check(found == wanted, "installed files:\n  %s\nexpected:\n  %s" %
              ("\n  ".join(found), "\n  ".join(wanted)))
        print("layout ok: " + ", ".join(programs))


# ---- the launchers in a real X server -----------------------------------------------------------

def poll(probe, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(0.1)


class XServer:
    """A private Xvfb on a display number the server picks itself. -noreset: otherwise the
    server resets whenever its last client leaves, and a program or a screenshot connecting
    during the reset fails."""

    def __enter__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "640x480x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        check(number.isdigit(), "Xvfb did not start")
        self.display = ":" + number
        return self

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)


def bright_pixels(display, box):
    image = ImageGrab.grab(xdisplay=display).crop(box).convert("L")
    return sum(1 for v in image.getdata() if v > 200)


def field_line(display, top, left=80, cells=50):
    """The 8x8 text cells of a dialog field's line: 0 empty, 1 a glyph, 2 the cursor (a cell
    drawn in reverse, mostly ink). 50 cells hold the field's 49 characters and the cursor."""
    line = ImageGrab.grab(xdisplay=display).crop((left, top, left + 8 * cells, top + 8))
    line = line.convert("L").point(lambda v: 255 if v > 100 else 0)
    states = []
    for i in range(cells):
        ink = sum(1 for v in line.crop((8 * i, 0, 8 * i + 8, 8)).getdata() if v)
        states.append(2 if ink >= 40 else 1 if ink else 0)
    return states


def shows_typed(display, top, text):
    """True when the field's line shows `text` followed by the cursor, and nothing else."""
    wanted = [0 if c == " " else 1 for c in text] + [2]
    return field_line(display, top) == wanted + [0] * (50 - len(wanted))


def xdotool_on(display):
    env = dict(os.environ, DISPLAY=display)

    def xdotool(*args):
        return subprocess.run(["xdotool"] + list(args), env=env, check=True,
                              capture_output=True, text=True).stdout
    return xdotool


def window_shown(display, program):
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % program],
                          env=dict(os.environ, DISPLAY=display),
                          capture_output=True).returncode == 0


def fill_in_dialog(display, program, source, destination):
    """Waits for the program's dialog, types the two names, presses OK and dismisses the notice.

    Keyboard only: the library follows the pointer by its moves and drops some of them, so a
    pointer moved by a test can end up somewhere else on the library's screen. The pointer
    stays in the middle of the window, over no field, and Tab moves between the fields."""
    xdotool = xdotool_on(display)
    poll(lambda: window_shown(display, program), 30, "the window of " + program)
    # The dialog is up when its OK button (240,400 161x49) is drawn; the window is at (0,0).
    poll(lambda: bright_pixels(display, (240, 400, 401, 449)) > 100, 30,
         "the dialog of " + program)

    # Each field's text must be on the screen before the focus moves on; keys the dialog
    # missed are typed again, up to three times.
    for text_top, text in ((32, source), (48, destination)):
        xdotool("key", "Tab")
        poll(lambda: 2 in field_line(display, text_top), 30, "the cursor in the field")
        for attempt in range(3):
            xdotool("key", "End")
            xdotool("key", "--delay", "5", *(["BackSpace"] * 60))
            xdotool("type", "--delay", "20", text)
            try:
                poll(lambda: shows_typed(display, text_top, text), 5 * (attempt + 1),
                     "%r in the dialog of %s" % (text, program))
                break
            except Failure:
                if attempt == 2:
                    raise
                print("the dialog missed keys for %r; typing it again" % text)
    # Tab to the OK button, Return presses it.
    xdotool("key", "Tab", "sleep", "0.2", "key", "Return")
    # The notice is a box in the middle of the screen; Return dismisses it.
    poll(lambda: bright_pixels(display, (160, 200, 480, 280)) > 1000, 60,
         "the notice of " + program)
    xdotool("key", "Return")


def launch_and_convert(display, prefix, entry, argv, home, source, destination):
    """Starts the program as its launcher does and converts source to destination."""
    env = dict(os.environ, HOME=home, DISPLAY=display,
               PATH=os.path.join(prefix, "bin") + os.pathsep + os.environ.get("PATH", ""),
               # A sanitized build's programs must not fail on the X library's allocations.
               ASAN_OPTIONS="detect_leaks=0")
    program = program_run_by(argv)
    # Keys go to the window under the pointer: the middle of the window, over no field.
    xdotool_on(display)("mousemove", "320", "240")
    process = subprocess.Popen(argv, cwd=entry.get("Path") or "/", env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               preexec_fn=die_with_parent)
    try:
        fill_in_dialog(display, program, source, destination)
        output, _ = process.communicate(timeout=30)
        check(process.returncode == 0, "%s exited with %d:\n%s" %
              (program, process.returncode, output))
    except Failure:
        # Keep the screen, and what the program said, for whoever reads the failure.
        shot = os.path.join(tempfile.gettempdir(), "zororuzo-%s-failure.png" % program)
        ImageGrab.grab(xdisplay=display).save(shot)
        print("the screen at the failure: " + shot)
        if process.poll() is None:
            process.kill()
        output, _ = process.communicate(timeout=30)
        print("%s exited with %s:\n%s" % (program, process.returncode, output))
        raise
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def launchers(cmake, build):
    for tool in ("Xvfb", "xdotool"):
        if not shutil.which(tool):
            print("SKIPPED: %s is not installed (scripts/setup --with-tests installs it)" % tool)
            return SKIP
    with tempfile.TemporaryDirectory(prefix="zororuzo-launch-") as work:
        prefix = os.path.join(work, "prefix")
        install(cmake, build, prefix)
        programs = expected_programs(build)
        entries = {}
        for program in programs:
            entry = read_desktop_entry(
                os.path.join(prefix, "share", "applications", program + ".desktop"))
            entries[program] = (entry, exec_argv(entry["Exec"]))
        home = os.path.join(work, "home")
        os.makedirs(home)
        data = bytes((i * 37 + 11) % 255 + 1 for i in range(1500))  # no zero byte, ends non-zero
        with open(os.path.join(home, "lettera.txt"), "wb") as f:
            f.write(data)

        with XServer() as x:
            launch_and_convert(x.display, prefix, *entries["zororuzo"], home,
                               "lettera.txt", "lettera.bmp")
            carrier = os.path.join(home, "lettera.bmp")
            check(os.path.isfile(carrier), "zororuzo left no lettera.bmp in the home folder")
            with Image.open(carrier) as image:
                check(image.mode == "P" and image.size == (1024, 2),
                      "lettera.bmp is %s %dx%d" % ((image.mode,) + image.size))
                pixels = bytes(image.getdata())
            check(pixels[1:1 + len(data)] == data, "lettera.bmp does not hold lettera.txt")
            print("zororuzo from its launcher: lettera.txt -> lettera.bmp in the home folder")

            if "devorudo" in entries:
                launch_and_convert(x.display, prefix, *entries["devorudo"], home,
                                   "lettera.bmp", "copia.txt")
                with open(os.path.join(home, "copia.txt"), "rb") as f:
                    check(f.read() == data, "copia.txt differs from lettera.txt")
                print("devorudo from its launcher: lettera.bmp -> copia.txt, equal to lettera.txt")
    return 0


# ---- the package --------------------------------------------------------------------------------

def metainfo_id(program):
    return "org.example.zororuzo." + program


def quiet_run(argv, what):
    """Runs a checker that must pass without a single warning or error line."""
    result = subprocess.run(argv, capture_output=True, text=True,
                            env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80"))
    said = [line for line in (result.stdout + result.stderr).splitlines()
            if re.match(r"\s*[EW]: |.*warning", line)]
    check(result.returncode == 0 and not said, "%s (exit %d):\n%s" %
          (what, result.returncode, "\n".join(said) or result.stderr))


def check_package_contents(deb, root, version, programs):
    """Debian's and AppStream's own checkers on what the package ships, and the facts they
    cannot know: the licence text, the versions, what each component launches."""
    # Run as root (as CI does) lintian only prints a caution on stderr; its tags go to stdout.
    quiet_run(["lintian", "--fail-on", "error,warning", deb], "lintian on " + deb)
    doc = os.path.join(root, "usr", "share", "doc", "zororuzo")
    with open(os.path.join(doc, "copyright"), encoding="utf-8") as f:
        terms = f.read().split("License: Expat\n")[-1]
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    with open(os.path.join(source, "LICENSE"), encoding="utf-8") as f:
        licence = "Permission" + f.read().split("\n\nPermission", 1)[1]

    def words(text):  # a copyright file's " ." is an empty line
        return re.sub(r"(?m)^ \.$", "", text).split()
    check(words(terms) == words(licence), "copyright's terms differ from LICENSE")
    with gzip.open(os.path.join(doc, "changelog.Debian.gz"), "rt", encoding="utf-8") as f:
        check(f.readline().startswith("zororuzo (%s) " % version),
              "changelog.Debian.gz does not begin with %s" % version)

    for program in programs:
        page = os.path.join(root, "usr", "share", "man", "man1", program + ".1.gz")
        quiet_run(["man", "--warnings", "-E", "UTF-8", "-l", page], "man --warnings on " + page)
        metainfo = os.path.join(root, "usr", "share", "metainfo",
                                metainfo_id(program) + ".metainfo.xml")
        quiet_run(["appstreamcli", "validate", "--no-net", metainfo],
                  "appstreamcli validate on " + metainfo)
        component = ElementTree.parse(metainfo).getroot()
        lang = "{http://www.w3.org/XML/1998/namespace}lang"
        summaries = {s.get(lang): s.text for s in component.findall("summary")}
        check(set(summaries) == {None, "it"} and summaries[None] != summaries["it"],
              "%s: summaries %r, not one in English and one in Italian" % (metainfo, summaries))
        check(os.path.isfile(os.path.join(root, "usr", "share", "applications",
                                          component.findtext("launchable"))) and
              component.findtext("provides/binary") == program,
              "%s launches %s, provides %s" % (metainfo, component.findtext("launchable"),
                                                component.findtext("provides/binary")))
        check(component.find("releases/release").get("version") == version.split("-")[0],
              "%s: the newest release is not %s" % (metainfo, version))


def package(cpack, build):
    for tool in ("dpkg-deb", "dpkg-shlibdeps", "file", "lintian", "appstreamcli", "man"):
        if not shutil.which(tool):
            print("SKIPPED: %s is not installed (scripts/setup --with-tests installs dpkg-dev, "
                  "file, lintian, appstream and man-db)" % tool)
            return SKIP
    with tempfile.TemporaryDirectory(prefix="zororuzo-deb-") as work:
        subprocess.run([cpack, "-G", "DEB", "-B", work,
                        "--config", os.path.join(build, "CPackConfig.cmake")],
                       check=True, stdout=subprocess.DEVNULL)
        debs = [f for f in os.listdir(work) if f.endswith(".deb")]
        check(len(debs) == 1 and re.fullmatch(r"zororuzo_[0-9.]+-1_[a-z0-9]+\.deb", debs[0]),
              "cpack made %s" % debs)
        deb = os.path.join(work, debs[0])

        def field(name):
            return subprocess.run(["dpkg-deb", "-f", deb, name], check=True,
                                  capture_output=True, text=True).stdout.strip()

        depends = [d.strip().split()[0] for d in field("Depends").split(",")]
        for runtime in ("liballegro4.4", "libspng", "libc6"):
            check(any(d == runtime or re.fullmatch(runtime + r"[0-9]+", d) for d in depends),
                  "Depends lacks %s: %s" % (runtime, field("Depends")))
        check(field("Maintainer") == "Sviluppatori di ZORORUZO <zororuzo@example.org>",
              "Maintainer is %r" % field("Maintainer"))
        description = field("Description").splitlines()
        check(len(description) > 3 and description[0] and
              description[1].strip() != description[0].strip(),
              "Description has no synopsis and long text: %r" % description)

        listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True,
                                 text=True).stdout
        files = {line.split()[-1].lstrip(".") for line in listing.splitlines()}
        for program in expected_programs(build):
            for path in ["/usr/bin/" + program, "/usr/share/applications/%s.desktop" % program] + \
                        ["/usr/share/icons/hicolor/%dx%d/apps/%s.png" % (s, s, program)
                         for s in ICON_SIZES]:
                check(path in files, "%s is not in %s" % (path, debs[0]))
        root = os.path.join(work, "root")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        check_package_contents(deb, root, field("Version"), expected_programs(build))
        print("package ok: %s, Depends: %s; lintian, appstreamcli and man quiet" %
              (debs[0], field("Depends")))
    return 0


def main(argv):
    if len(argv) != 4 or argv[1] not in ("layout", "launchers", "package"):
        print(__doc__)
        return 2
    mode, tool, build = argv[1:]
    try:
        if mode == "layout":
            layout(tool, build)
            return 0
        if mode == "launchers":
            return launchers(tool, build)
        return package(tool, build)
    except (Failure, subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
        print("FAILED: %s" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
