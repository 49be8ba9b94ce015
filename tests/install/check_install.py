"""Checks what `cmake --install` and CPack lay out, and that the launchers start the programs.

    check_install.py layout|launchers <cmake> <build dir>
    check_install.py package <cpack> <build dir>

layout:    installs into a temporary prefix: those files and no others, the launchers
           (desktop-file-validate, and the keys the menu goes by), the icons.
launchers: installs likewise, starts each program from its launcher in a private Xvfb, types
           names relative to the home folder into its dialog, and checks the files made there.
package:   builds the .deb and reads its fields and files; lintian on it, appstreamcli on its
           metainfo and man --warnings on its pages; its licence text and versions.

Exit code 77 means skipped (a tool missing: scripts/setup --with-tests installs them all).
"""

import configparser
import gzip
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from xml.etree import ElementTree

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import xdrive  # noqa: E402

PROGRAMS = ("zororuzo", "devorudo")
ICON_SIZES = (48, 64)
METAINFO = "org.example.zororuzo.%s.metainfo.xml"
# What an install holds, from its prefix.
WANTED = sorted(["share/doc/zororuzo/copyright"] + [path for p in PROGRAMS for path in (
    "bin/" + p, "share/applications/%s.desktop" % p, "share/man/man1/%s.1.gz" % p,
    "share/metainfo/" + METAINFO % p)] +
    ["share/icons/hicolor/%dx%d/apps/%s.png" % (s, s, p) for p in PROGRAMS for s in ICON_SIZES])


def check(condition, message):
    if not condition:
        raise xdrive.Failure(message)


def needs(*tools):
    missing = [tool for tool in tools if not shutil.which(tool)]
    if missing:
        print("SKIPPED: not installed: " + ", ".join(missing))
        sys.exit(77)


def install(cmake, build, prefix):
    subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)


def desktop_entry(prefix, program):
    path = os.path.join(prefix, "share", "applications", program + ".desktop")
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str  # keys are case-sensitive
    check(parser.read(path, encoding="utf-8"), "no launcher " + path)
    return path, parser["Desktop Entry"]


def layout(cmake, build):
    needs("desktop-file-validate")
    with tempfile.TemporaryDirectory(prefix="zororuzo-install-") as prefix:
        install(cmake, build, prefix)
        found = sorted(os.path.relpath(os.path.join(d, f), prefix)
                       for d, _, files in os.walk(prefix) for f in files)
        check(found == WANTED, "installed: %s\nexpected: %s" % (found, WANTED))
        for program in PROGRAMS:
            path, entry = desktop_entry(prefix, program)
            said = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
            check(said.returncode == 0 and not said.stdout.strip(), said.stdout + said.stderr)
            # What the menu goes by; that Exec starts the program in the home folder, the
            # launchers mode shows.
            keys = {k: entry.get(k) for k in ("Type", "Terminal", "Icon", "TryExec")}
            check(keys == {"Type": "Application", "Terminal": "false", "Icon": program,
                           "TryExec": program}, "%s: %s" % (path, keys))
            check("Utility" in entry["Categories"].split(";"), path + ": not under Utility")
            check(not re.search(r"%[fFuUick]", entry["Exec"]), path + ": Exec takes files")
            for key in ("GenericName", "Comment"):
                check(entry.get(key + "[it]") not in (None, entry.get(key)),
                      "%s: %s is not in Italian" % (path, key))
            for size in ICON_SIZES:
                icon = os.path.join(prefix, "share/icons/hicolor/%dx%d/apps/%s.png" %
                                    (size, size, program))
                with Image.open(icon) as image:
                    check(image.format == "PNG" and image.size == (size, size) and
                          len(set(image.convert("RGBA").getdata())) > 8,
                          "%s: %s %s, or nearly blank" % (icon, image.format, image.size))
    print("layout ok")


def launchers(cmake, build):
    needs("Xvfb", "xdotool")
    with tempfile.TemporaryDirectory(prefix="zororuzo-launch-") as work:
        prefix, home = os.path.join(work, "prefix"), os.path.join(work, "home")
        install(cmake, build, prefix)
        os.mkdir(home)
        data = bytes((i * 37 + 11) % 255 + 1 for i in range(1500))  # no 0 at the end
        with open(os.path.join(home, "lettera.txt"), "wb") as f:
            f.write(data)
        # The menu runs the launcher from any folder (here /); the names typed are found only
        # when the launcher starts the program in the home folder.
        env = dict(HOME=home, PATH=os.path.join(prefix, "bin") + os.pathsep + os.environ["PATH"],
                   ASAN_OPTIONS="detect_leaks=0")  # the X library's allocations kept to exit
        with xdrive.XServer() as x:
            for program, names in (("zororuzo", ["lettera.txt", "lettera.bmp"]),
                                   ("devorudo", ["lettera.bmp", "copia.txt"])):
                entry = desktop_entry(prefix, program)[1]
                log = os.path.join(build, "launched-%s.log" % program)  # kept on failure
                driven = xdrive.Program(x, program, shlex.split(entry["Exec"]),
                                        entry.get("Path", "/"), log, env)
                driven.convert(names, ["Immagine terminata e salvata come:", names[1], ""])
                os.unlink(log)
        with Image.open(os.path.join(home, "lettera.bmp")) as image:
            check(image.mode == "P" and image.tobytes()[1:len(data) + 1] == data,
                  "lettera.bmp does not hold lettera.txt")
        with open(os.path.join(home, "copia.txt"), "rb") as f:
            check(f.read() == data, "copia.txt differs from lettera.txt")
    print("launchers ok: lettera.txt to lettera.bmp and back in the home folder")


def quiet_run(argv, what):
    """Runs a checker that must pass without a single warning or error line."""
    result = subprocess.run(argv, capture_output=True, text=True,
                            env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80"))
    said = [line for line in (result.stdout + result.stderr).splitlines()
            if re.match(r"\s*[EW]: |.*warning", line)]
    check(result.returncode == 0 and not said, "%s (exit %d):\n%s" %
          (what, result.returncode, "\n".join(said) or result.stderr))


def check_contents(root, version):
    """The facts Debian's and AppStream's checkers cannot know: the licence text, the
    versions, what each component launches."""
    doc = os.path.join(root, "usr/share/doc/zororuzo")
    with open(os.path.join(doc, "copyright"), encoding="utf-8") as f:
        terms = f.read().split("License: Expat\n")[-1]
    with open(os.path.join(HERE, "..", "..", "LICENSE"), encoding="utf-8") as f:
        licence = "Permission" + f.read().split("\n\nPermission", 1)[1]
    check(re.sub(r"(?m)^ \.$", "", terms).split() == licence.split(),  # " ." is an empty line
          "copyright's terms differ from LICENSE")
    with gzip.open(os.path.join(doc, "changelog.Debian.gz"), "rt", encoding="utf-8") as f:
        check(f.readline().startswith("zororuzo (%s) " % version),
              "changelog.Debian.gz does not begin with %s" % version)
    for program in PROGRAMS:
        page = os.path.join(root, "usr/share/man/man1", program + ".1.gz")
        quiet_run(["man", "--warnings", "-E", "UTF-8", "-l", page], "man --warnings on " + page)
        metainfo = os.path.join(root, "usr/share/metainfo", METAINFO % program)
        quiet_run(["appstreamcli", "validate", "--no-net", metainfo], "appstreamcli on " + metainfo)
        component = ElementTree.parse(metainfo).getroot()
        lang = "{http://www.w3.org/XML/1998/namespace}lang"
        summaries = {s.get(lang): s.text for s in component.findall("summary")}
        check(set(summaries) == {None, "it"} and summaries[None] != summaries["it"],
              "%s: summaries %r, not one in English and one in Italian" % (metainfo, summaries))
        launchable = component.findtext("launchable")
        check(os.path.isfile(os.path.join(root, "usr/share/applications", launchable)) and
              component.findtext("provides/binary") == program,
              "%s launches %s, provides %s" % (metainfo, launchable,
                                                component.findtext("provides/binary")))
        check(component.find("releases/release").get("version") == version.split("-")[0],
              "%s: the newest release is not %s" % (metainfo, version))


def package(cpack, build):
    needs("dpkg-deb", "dpkg-shlibdeps", "file", "lintian", "appstreamcli", "man")
    with tempfile.TemporaryDirectory(prefix="zororuzo-deb-") as work:
        subprocess.run([cpack, "-G", "DEB", "-B", work,
                        "--config", os.path.join(build, "CPackConfig.cmake")],
                       check=True, stdout=subprocess.DEVNULL)
        debs = [f for f in os.listdir(work) if f.endswith(".deb")]
        check(len(debs) == 1 and re.fullmatch(r"zororuzo_[0-9.]+-1_[a-z0-9]+\.deb", debs[0]),
              "cpack made %s" % debs)
        deb, root = os.path.join(work, debs[0]), os.path.join(work, "root")

        def field(name):
            return subprocess.run(["dpkg-deb", "-f", deb, name], check=True,
                                  capture_output=True, text=True).stdout.strip()
        depends = [d.split()[0] for d in field("Depends").split(",")]
        for runtime in (r"liballegro4\.4", r"libspng\d+", "libc6"):
            check(any(re.fullmatch(runtime, d) for d in depends), "Depends: " + field("Depends"))
        check(field("Maintainer") == "Sviluppatori di ZORORUZO <zororuzo@example.org>",
              "Maintainer: " + field("Maintainer"))
        description = field("Description").splitlines()
        check(len(description) > 3 and description[1].strip() != description[0].strip(),
              "Description has no synopsis and long text: %r" % description)
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        missing = [f for f in WANTED if not os.path.isfile(os.path.join(root, "usr", f))]
        check(not missing, "%s lacks %s" % (debs[0], missing))
        # Run as root (as CI does) lintian only prints a caution on stderr; its tags go to stdout.
        quiet_run(["lintian", "--fail-on", "error,warning", deb], "lintian on " + deb)
        check_contents(root, field("Version"))
        print("package ok: %s, Depends: %s" % (debs[0], field("Depends")))


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("layout", "launchers", "package"):
        sys.exit(__doc__)
    try:
        {"layout": layout, "launchers": launchers, "package": package}[sys.argv[1]](*sys.argv[2:])
    except (xdrive.Failure, subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
        sys.exit("FAILED: %s" % e)
