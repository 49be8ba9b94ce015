"""check_install.py launchers <cmake> <build dir>, or package <cpack> <build dir>

What `cmake --install` and CPack lay out (see README), judged by what the launchers installed
name; the launchers started as the menu would; the .deb through lintian. The tools
scripts/setup installs are needed: a missing one fails the check rather than skipping it."""

import gzip
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path
from xml.etree import ElementTree

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import xdrive  # noqa: E402


def quiet_run(*argv):
    """Runs a checker that must pass with nothing above an informational note."""
    result = subprocess.run(argv, capture_output=True, text=True,
                            env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80"))
    said = [line for line in (result.stdout + result.stderr).splitlines()
            if re.match(r"\s*[EW]: |.*(warning|hint)", line)]
    assert result.returncode == 0 and not said, "%s (exit %d):\n%s" % (
        " ".join(map(str, argv)), result.returncode, "\n".join(said) or result.stderr)


def launchers_in(root, prefix):
    """The launchers installed under `root` for the prefix `prefix` (the same but for a
    package's), each checked with what it names: the program by its full path there, its icon,
    its manual page, the AppStream component that launches it."""
    share = root / "share"
    entries = {path.name: dict(re.findall(r"(?m)^([\w\[\]]+)=(.*)$", path.read_text("utf-8")))
               for path in share.glob("applications/*.desktop")}
    launched = []
    for info in share.glob("metainfo/*.xml"):
        quiet_run("appstreamcli", "validate", "--no-net", info)
        launched.append(ElementTree.parse(info).getroot().findtext("launchable"))
    assert len(entries) == 2 and sorted(launched) == sorted(entries), (entries, launched)
    for name, entry in entries.items():
        quiet_run("desktop-file-validate", share / "applications" / name)
        program = name.split(".")[0]
        assert entry["TryExec"] == "%s/bin/%s" % (prefix, program), entry["TryExec"]
        assert "'%s'" % entry["TryExec"] in entry["Exec"], entry["Exec"]
        assert (root / "bin" / program).is_file(), name
        assert list(share.glob("icons/hicolor/*/apps/%s.png" % entry["Icon"])), name
        page = subprocess.run(["man", "-w", program], capture_output=True, text=True,
                              env=dict(os.environ, MANPATH=str(share / "man"))).stdout.strip()
        assert page.startswith(str(share)), "no manual page for " + name
        quiet_run("man", "--warnings", "-E", "UTF-8", "-l", page)
    return entries


def launchers(cmake, build):
    with tempfile.TemporaryDirectory(prefix="zororuzo-launch-") as work:
        prefix, home = Path(work, "prefix"), Path(work, "home")
        subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        entries = launchers_in(prefix, prefix)
        home.mkdir()
        data = bytes((i * 37 + 11) % 255 + 1 for i in range(1500))  # no 0 at the end
        (home / "lettera.txt").write_bytes(data)
        # The menu runs the launcher from any folder (here /); the names typed are found only
        # when the launcher starts the program in the home folder. The prefix is not on PATH.
        env = dict(HOME=str(home), PATH="/usr/bin:/bin",
                   ASAN_OPTIONS="detect_leaks=0")  # the X library's allocations kept to exit
        with xdrive.XServer() as x:
            for program, names in (("zororuzo", ["lettera.txt", "lettera.bmp"]),
                                   ("devorudo", ["lettera.bmp", "copia.txt"])):
                entry = entries[program + ".desktop"]
                log = os.path.join(build, "launched-%s.log" % program)
                # Exec as a shell would take it, from the folder the menu would run it in.
                started = xdrive.Program(x, program, ["sh", "-c", entry["Exec"]],
                                         entry.get("Path", "/"), log, env)
                # The window is the launcher's: a desktop matches them by its class.
                window, connection = x.window()
                assert window.get_wm_class()[1] == entry["StartupWMClass"], window.get_wm_class()
                connection.close()
                started.convert(names)
        assert (home / "copia.txt").read_bytes() == data, "copia.txt differs from lettera.txt"


def package(cpack, build):
    with tempfile.TemporaryDirectory(prefix="zororuzo-deb-") as work:
        subprocess.run([cpack, "-G", "DEB", "-B", work, "--config", build + "/CPackConfig.cmake"],
                       check=True, stdout=subprocess.DEVNULL)
        debs = [f for f in os.listdir(work) if f.endswith(".deb")]
        assert len(debs) == 1, "cpack made %s" % debs
        deb, usr = os.path.join(work, debs[0]), Path(work, "root/usr")
        subprocess.run(["dpkg-deb", "-x", deb, usr.parent], check=True)
        launchers_in(usr, "/usr")
        # Run as root (as CI does) lintian only prints a caution on stderr; its tags go to stdout.
        # It also fails a package whose Depends lacks the libraries its programs link.
        quiet_run("lintian", "--fail-on", "error,warning", deb)
        # Built with Debian's hardening flags (but for the sanitized build's, which check more).
        tags = subprocess.run(["lintian", "-I", "--display-info", deb], capture_output=True,
                              text=True).stdout
        sanitized = "SANITIZE:BOOL=ON" in Path(build, "CMakeCache.txt").read_text()
        assert sanitized or "hardening" not in tags, tags
        # Then what Debian's checkers cannot know: the licence text, the version.
        doc, version = usr / "share/doc/zororuzo", subprocess.check_output(
            ["dpkg-deb", "-f", deb, "Version"], text=True).strip()
        terms = (doc / "copyright").read_text("utf-8").split("License: Expat\n")[-1]
        licence = (HERE / "../../LICENSE").read_text("utf-8").split("\n\nPermission", 1)[1]
        assert re.sub(r"(?m)^ \.$", "", terms).split() == ("Permission" + licence).split(), \
            "copyright's terms differ from LICENSE"  # " ." is an empty line there
        changes = gzip.decompress((doc / "changelog.Debian.gz").read_bytes()).decode("utf-8")
        assert changes.startswith("zororuzo (%s) " % version), "changelog not at " + version
        print(debs[0])


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("launchers", "package"):
        sys.exit(__doc__)
    globals()[sys.argv[1]](*sys.argv[2:])
    print(sys.argv[1], "ok")
