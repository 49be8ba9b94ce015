#!/usr/bin/python3
"""End-to-end cases: the programs in a private Xvfb, used as a person would use them. What they
wrote is read with Pillow or compared byte for byte.

    run_cases.py ZORORUZO DEVORUDO round_trip|escape_held|refusal|long_names
"""

import os
import random
import shutil
import sys
import tempfile
import traceback
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from PIL import Image  # noqa: E402

from xdrive import TITLES, Failure, Program, XServer  # noqa: E402

SAVED = "Immagine terminata e salvata come:"


def expect(condition, message):
    if not condition:
        raise Failure(message)


def sample(n, seed):
    """Bytes with zeros inside and long runs; the last not 0 (trailing zeros do not come back)."""
    rng, out = random.Random(seed), bytearray()
    while len(out) < n:
        out += bytes([rng.randrange(256)]) * (rng.randrange(1, 200) if rng.random() < .2 else 1)
    return bytes(out[:n - 1]) + b"\xff"


class Case:
    def __init__(self, x, work, programs):
        self.x, self.work, self.programs, self.runs = x, Path(work), programs, 0

    def files(self):
        return sorted(os.listdir(self.work))

    def run(self, which, *args, **options):
        self.runs += 1
        log = self.work / ("%s-%d.log" % (which, self.runs))
        program = Program(self.x, which, [self.programs[which]], self.work, str(log))
        program.convert(*args, **options)
        log.unlink()

    def carrier(self, name, data):
        """Pillow finds 0, then `data`, then zeros to the end of the last row."""
        with Image.open(self.work / name) as im:
            expect(im.mode == "P" and im.width == 1024, "%s: %s %s" % (name, im.mode, im.size))
            pixels = im.tobytes()
        expect(pixels[:len(data) + 1] == b"\0" + data and not pixels[len(data) + 1:].strip(b"\0")
               and len(pixels) - len(data) <= 1024, "%s does not hold the data" % name)


def round_trip(c):
    data = sample(2500, 1)
    (c.work / "dati.bin").write_bytes(data)
    c.run("zororuzo", ["dati.bin", "carrier.pcx"], [SAVED, "carrier.pcx", ""], "3 di 3")
    c.carrier("carrier.pcx", data)
    c.run("devorudo", ["carrier.pcx", "copia.bin"], [SAVED, "copia.bin", ""], "3 di 3")
    expect((c.work / "copia.bin").read_bytes() == data, "the copy differs")
    expect(c.files() == ["carrier.pcx", "copia.bin", "dati.bin"], "files: %s" % c.files())


def escape_held(c):
    data = sample(5000, 2)
    (c.work / "dati.bin").write_bytes(data)
    c.run("zororuzo", ["dati.bin", "carrier.png"], [SAVED, "carrier.png", ""], "1 di 5",
          escape=True)
    c.carrier("carrier.png", data[:1] + bytes(4095))


def refusal(c):
    # A picture cut short is refused, and the file already under the destination's name kept.
    Image.frombytes("P", (1024, 3), b"\0" + sample(3071, 3)).save(c.work / "carrier.bmp")
    (c.work / "carrier.bmp").write_bytes((c.work / "carrier.bmp").read_bytes()[:2000])
    (c.work / "copia.bin").write_bytes(b"an older file")
    c.run("devorudo", ["carrier.bmp", "copia.bin"], ["Impossibile leggere l'immagine:",
          "carrier.bmp", "Il file è troncato: mancano dati dell'immagine."])
    expect((c.work / "copia.bin").read_bytes() == b"an older file", "the older file changed")
    expect(c.files() == ["carrier.bmp", "copia.bin"], "files: %s" % c.files())


def long_names(c):
    # Letters beyond ASCII come from the keyboard: an Italian layout has keys for them.
    c.x.layout("it")
    data, name = sample(2000, 4), "Perù, città più già là però così e poi ancora.tga"
    expect(len(name) == 49, "not the 49 characters a field takes at most")
    (c.work / "città.bin").write_bytes(data)
    c.run("zororuzo", ["città.bin", name], [SAVED, name, ""])
    c.carrier(name, data)
    c.run("devorudo", [name, "copia più.bin"], [SAVED, "copia più.bin", ""])
    expect((c.work / "copia più.bin").read_bytes() == data, "the copy differs")


if __name__ == "__main__":
    case = {f.__name__: f for f in (round_trip, escape_held, refusal, long_names)}.get(
        sys.argv[-1])
    if len(sys.argv) != 4 or not case:
        sys.exit(__doc__)
    work = tempfile.mkdtemp(prefix="e2e-")
    try:
        with XServer() as x:
            case(Case(x, work, dict(zip(TITLES, map(os.path.abspath, sys.argv[1:3])))))
    except Exception:
        traceback.print_exc()
        sys.exit("FAIL: files and logs kept in " + work)
    shutil.rmtree(work)
