#!/usr/bin/python3
"""run_cases.py ZORORUZO DEVORUDO round_trip|escape_held|close_button|refusal

The programs in a private Xvfb, used as a person would; what they wrote read with Pillow."""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from PIL import Image  # noqa: E402

from sample import data as sample  # noqa: E402
from xdrive import FIELD_SPAN, FIELDS, HOLD, OK, SAVED, TITLES, Program, XServer  # noqa: E402


class Case:
    def __init__(self, x, work, programs):
        self.x, self.work, self.programs = x, Path(work), programs

    def run(self, which, *args, fsize=None, **options):
        log = str(self.work / (which + ".log"))
        limit = ["prlimit", "--fsize=%d" % fsize] if fsize else []  # as ulimit -f sets it
        Program(self.x, which, limit + [self.programs[which]], self.work, log,
                {"HOME": str(self.work)}).convert(*args, **options)


def round_trip(c):
    # The longest name a field takes, with letters beyond ASCII: they come from the keyboard,
    # and an Italian layout has keys for them.
    subprocess.run(["setxkbmap", "it"], check=True, env=c.x.env)
    names = ["città.bin", "Perù, città più già là però così e poi ancora.pcx", "copia più.bin"]
    assert len(names[1]) == 49, "not the 49 characters a field takes at most"
    data = sample(2500, 1, zeros=100)  # zeros at the end come back too
    (c.work / names[0]).write_bytes(data)
    c.run("zororuzo", names[:2], progress="3 di 3")
    c.run("devorudo", names[1:], progress="3 di 3", dismiss="click")
    assert (c.work / names[2]).read_bytes() == data, "the copy differs"
    assert sorted(os.listdir(c.work)) == sorted(names), os.listdir(c.work)


def escape_held(c):
    data = sample(5000, 2)
    (c.work / "dati.bin").write_bytes(data)
    c.run("zororuzo", ["dati.bin", "carrier.png"], progress="1 di 5", escape=True,
          notice=[SAVED, "carrier.png", "Interrotta: salvati 1 byte su 5.000."])
    with Image.open(c.work / "carrier.png") as im:  # 0, then the one byte placed, then zeros
        got = im.mode, im.size, im.tobytes()
    assert got == ("P", (1024, 5), b"\0" + data[:1] + bytes(5118)), "the carrier differs"
    # Over a file that exists, Esc held from the dialog on leaves it as it was, in both programs.
    for which, names, progress in (("zororuzo", ["dati.bin", "vecchio.tga"], "1 di 5"),
                                   ("devorudo", ["carrier.png", "vecchio.bin"], None)):
        (c.work / names[1]).write_bytes(b"an older file")
        c.run(which, names, progress=progress, escape=True, notice=[
              "Conversione annullata:", names[1], "Il file esistente non è stato toccato."])
        assert (c.work / names[1]).read_bytes() == b"an older file", "the older file changed"
    assert sorted(os.listdir(c.work)) == ["carrier.png", "dati.bin", "vecchio.bin", "vecchio.tga"]


def close_button(c):
    # Keys go to the field clicked into, then to the one Tab reaches, whatever the pointer is on;
    # in the dialog, the window's close button ends the program: nothing read or written.
    (c.work / "dati.bin").write_bytes(sample(3000, 4))
    program = Program(c.x, "zororuzo", [c.programs["zororuzo"]], c.work, str(c.work / "log"))
    (source, _), (destination, _) = FIELDS
    prompts = ["File sorgente!", "File destinazione! (nome.bmp,nome.tga,nome.pcx,)"]
    for keys, texts, caret in (
            (["mousemove", *source, "mousedown", 1, "sleep", HOLD, "mouseup", 1,
              "mousemove", *destination, "sleep", HOLD, "type", "x"],
             [prompts[0] + "x", prompts[1]], 0),
            (["mousemove", *source, "sleep", HOLD, "key", "Tab", "type", "y"],
             [prompts[0] + "x", prompts[1] + "y"], 1)):
        c.x.xdotool(*keys)
        program.wait_for("keys in field %d" % caret, lambda screen: next(filter(None, (
            program.misread(screen, *at, text, span=FIELD_SPAN, caret=i == caret)
            for i, ((_, at), text) in enumerate(zip(FIELDS, texts)))), None), 5)
    program.dismiss("close")
    assert sorted(os.listdir(c.work)) == ["dati.bin", "log"], os.listdir(c.work)
    # At the notice it closes it as Ok does.
    program = Program(c.x, "zororuzo", [c.programs["zororuzo"]], c.work, str(c.work / "log"))
    program.set_names("dati.bin", "carrier.bmp")
    c.x.xdotool("mousemove", *OK, "mousedown", 1, "sleep", HOLD, "mouseup", 1)
    program.wait_notice([SAVED, "carrier.bmp", ""])
    program.dismiss("close")


def refusal(c):
    # A picture cut short is refused, and the file already under the destination's name kept.
    # (~/ is the home folder; the notice names the file as typed.)
    Image.frombytes("P", (1024, 3), b"\0" + sample(3071, 3)).save(c.work / "carrier.bmp")
    (c.work / "carrier.bmp").write_bytes((c.work / "carrier.bmp").read_bytes()[:2000])
    (c.work / "copia.bin").write_bytes(b"an older file")
    c.run("devorudo", ["~/carrier.bmp", "copia.bin"], ["Impossibile leggere l'immagine:",
          "~/carrier.bmp", "Il file è troncato: mancano dati dell'immagine."])
    assert (c.work / "copia.bin").read_bytes() == b"an older file", "the older file changed"
    assert sorted(os.listdir(c.work)) == ["carrier.bmp", "copia.bin"], os.listdir(c.work)
    # Another program's picture holds no record: decoded by the rule, and the notice says that
    # nothing checked it (the longest third line, within the box).
    data = sample(3071, 3)
    Image.frombytes("L", (1024, 3), b"\0" + data).save(c.work / "altro.png")
    c.run("devorudo", ["altro.png", "copia.bin"], [SAVED, "copia.bin",
          "Nessun controllo: forse mancano zeri finali; se modificata, byte diversi."])
    assert (c.work / "copia.bin").read_bytes() == data.rstrip(b"\0"), "the copy differs"
    # Past the file-size limit a write fails, and says so, rather than ending the program and
    # leaving its temporary behind (the destination typed from the home folder).
    c.run("devorudo", ["altro.png", "~/copia.bin"], ["Impossibile salvare il file:",
          "~/copia.bin", "File troppo grande per il disco o per i limiti del sistema."],
          fsize=1000)
    assert (c.work / "copia.bin").read_bytes() == data.rstrip(b"\0"), "the copy changed"
    assert sorted(os.listdir(c.work)) == ["altro.png", "carrier.bmp", "copia.bin"]


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[3] not in ("round_trip", "escape_held", "close_button",
                                                  "refusal"):
        sys.exit(__doc__)
    work = tempfile.mkdtemp(prefix="e2e-")
    try:
        with XServer() as x:
            programs = dict(zip(TITLES, map(os.path.abspath, sys.argv[1:3])))
            globals()[sys.argv[3]](Case(x, work, programs))
    except BaseException:
        print("FAIL: files and logs kept in " + work)
        raise
    shutil.rmtree(work)
