"""check_install.py layout|launchers <cmake> <build dir>, or package <cpack> <build dir>

What `cmake --install` and CPack lay out (see README). The tools scripts/setup installs are
needed: a missing one fails the check rather than skipping it."""

import gzip
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path
from xml.etree import ElementTree

import Xlib.X
from PIL import Image

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import xdrive  # noqa: E402

PROGRAMS = ("zororuzo", "devorudo")
ICON = "share/icons/hicolor/{s}x{s}/apps/{p}.png"
ICON_SIZES = (48, 64)
METAINFO = "share/metainfo/org.example.zororuzo.{p}.metainfo.xml"
MAN = "share/man/man1/{p}.1.gz"
# What an install holds, from its prefix.
WANTED = sorted({"share/doc/zororuzo/copyright"} | {path.format(p=p, s=s) for p in PROGRAMS
                for path in ("bin/{p}", "share/applications/{p}.desktop",
                             MAN, METAINFO, ICON) for s in ICON_SIZES})
# What the .deb must depend on, found by dpkg-shlibdeps (lintian checks the other fields).
LIBRARIES = (r"liballegro4\.4", r"zlib1g", r"libdeflate\d+")


def desktop_entry(prefix, program):
    path = Path(prefix, "share/applications", program + ".desktop")
    return path, dict(re.findall(r"(?m)^([\w\[\]]+)=(.*)$", path.read_text("utf-8")))


def quiet_run(*argv):
    """Runs a checker that must pass with nothing above an informational note."""
    result = subprocess.run(argv, capture_output=True, text=True,
                            env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80"))
    said = [line for line in (result.stdout + result.stderr).splitlines()
            if re.match(r"\s*[EW]: |.*(warning|hint)", line)]
    assert result.returncode == 0 and not said, "%s (exit %d):\n%s" % (
        " ".join(map(str, argv)), result.returncode, "\n".join(said) or result.stderr)


def layout(cmake, build):
    with tempfile.TemporaryDirectory(prefix="zororuzo-install-") as prefix:
        subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        found = sorted(os.path.relpath(os.path.join(d, f), prefix)
                       for d, _, files in os.walk(prefix) for f in files)
        assert found == WANTED, "installed: %s\nexpected: %s" % (found, WANTED)
        for p in PROGRAMS:  # what the menu goes by; that it starts the program, launchers shows
            quiet_run("desktop-file-validate", desktop_entry(prefix, p)[0])


def launchers(cmake, build):
    with tempfile.TemporaryDirectory(prefix="zororuzo-launch-") as work:
        prefix, home = Path(work, "prefix"), Path(work, "home")
        subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        home.mkdir()
        data = bytes((i * 37 + 11) % 255 + 1 for i in range(1500))  # no 0 at the end
        (home / "lettera.txt").write_bytes(data)
        # The menu runs the launcher from any folder (here /); the names typed are found only
        # when the launcher starts the program in the home folder.
        env = dict(HOME=str(home), PATH="%s/bin:%s" % (prefix, os.environ["PATH"]),
                   ASAN_OPTIONS="detect_leaks=0")  # the X library's allocations kept to exit
        with xdrive.XServer() as x:
            for program, names in (("zororuzo", ["lettera.txt", "lettera.bmp"]),
                                   ("devorudo", ["lettera.bmp", "copia.txt"])):
                entry = desktop_entry(prefix, program)[1]
                log = os.path.join(build, "launched-%s.log" % program)
                # Exec as a shell would take it, from the folder the menu would run it in.
                started = xdrive.Program(x, program, ["sh", "-c", entry["Exec"]],
                                         entry.get("Path", "/"), log, env)
                # The window is the launcher's: its class, and the launcher's icon.
                window, connection = x.window()
                icon = connection.create_resource_object("pixmap",
                                                         window.get_wm_hints().icon_pixmap.id)
                shown = Image.frombytes("RGB", (64, 64), icon.get_image(
                    0, 0, 64, 64, Xlib.X.ZPixmap, 0xFFFFFFFF).data, "raw", "BGRX")
                launcher = Image.open(Path(prefix, ICON.format(p=program, s=64))).convert("RGB")
                assert window.get_wm_class()[1] == entry["StartupWMClass"], window.get_wm_class()
                assert shown.tobytes() == launcher.tobytes(), "not %s's icon" % program
                connection.close()
                started.convert(names)
        assert (home / "copia.txt").read_bytes() == data, "copia.txt differs from lettera.txt"


def package(cpack, build):
    with tempfile.TemporaryDirectory(prefix="zororuzo-deb-") as work:
        subprocess.run([cpack, "-G", "DEB", "-B", work, "--config", build + "/CPackConfig.cmake"],
                       check=True, stdout=subprocess.DEVNULL)
        debs = [f for f in os.listdir(work) if f.endswith(".deb")]
        assert len(debs) == 1 and re.fullmatch(r"zororuzo_[0-9.]+-1_[a-z0-9]+\.deb", debs[0]), \
            "cpack made %s" % debs
        deb, usr = os.path.join(work, debs[0]), Path(work, "root/usr")
        control = subprocess.check_output(["dpkg-deb", "-f", deb], text=True)
        fields = dict(re.findall(r"(?m)^([\w-]+): (.*(?:\n .*)*)", control))
        for library in LIBRARIES:
            assert re.search(r"(^|, )%s( |,|$)" % library, fields["Depends"]), fields["Depends"]
        subprocess.run(["dpkg-deb", "-x", deb, usr.parent], check=True)
        missing = [f for f in WANTED if not (usr / f).is_file()]
        assert not missing, "%s lacks %s" % (debs[0], missing)
        # Run as root (as CI does) lintian only prints a caution on stderr; its tags go to stdout.
        quiet_run("lintian", "--fail-on", "error,warning", deb)
        # Built with Debian's hardening flags (but for the sanitized build's, which check more).
        tags = subprocess.run(["lintian", "-I", "--display-info", deb], capture_output=True,
                              text=True).stdout
        sanitized = "SANITIZE:BOOL=ON" in Path(build, "CMakeCache.txt").read_text()
        assert sanitized or "hardening" not in tags, tags
        # Then what Debian's and AppStream's checkers cannot know: the licence text, the
        # version, what each component launches.
        doc, version = usr / "share/doc/zororuzo", fields["Version"]
        terms = (doc / "copyright").read_text("utf-8").split("License: Expat\n")[-1]
        licence = (HERE / "../../LICENSE").read_text("utf-8").split("\n\nPermission", 1)[1]
        assert re.sub(r"(?m)^ \.$", "", terms).split() == ("Permission" + licence).split(), \
            "copyright's terms differ from LICENSE"  # " ." is an empty line there
        changes = gzip.decompress((doc / "changelog.Debian.gz").read_bytes()).decode("utf-8")
        assert changes.startswith("zororuzo (%s) " % version), "changelog not at " + version
        for p in PROGRAMS:
            quiet_run("man", "--warnings", "-E", "UTF-8", "-l", usr / MAN.format(p=p))
            quiet_run("appstreamcli", "validate", "--no-net", usr / METAINFO.format(p=p))
            # What the validator cannot know: the menu entry it launches is installed.
            info = ElementTree.parse(usr / METAINFO.format(p=p)).getroot()
            assert (usr / "share/applications" / info.findtext("launchable")).is_file(), p
        print("%s, Depends: %s" % (debs[0], fields["Depends"]))


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("layout", "launchers", "package"):
        sys.exit(__doc__)
    globals()[sys.argv[1]](*sys.argv[2:])
    print(sys.argv[1], "ok")
