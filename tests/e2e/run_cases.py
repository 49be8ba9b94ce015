#!/usr/bin/python3
"""End-to-end cases: zororuzo and devorudo run in a private X server and are used as a person
would use them: type the two names, click OK (or leave with Esc), read the notice, press Return.
What they wrote is then read with Pillow or compared byte for byte.

    run_cases.py --zororuzo PATH [--devorudo PATH] CASE...
"""

import argparse
import os
import random
import sys
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from PIL import Image  # noqa: E402

from x11drive import Case, Failure  # noqa: E402

ZORORUZO_TITLE = "ZORORUZO - Convertitore di files in bitmap a 256 colori"
DEVORUDO_TITLE = "DEVORUDO - Convertitore di BITMAP a 256 colori in file"
WIDTH = 1024

# The notices' first and third lines.
SAVED = "Immagine terminata e salvata come:"
SOURCE_UNREADABLE = "Impossibile aprire il file sorgente:"
IMAGE_UNREADABLE = "Impossibile leggere l'immagine:"
NOT_SAVED = "Impossibile salvare il file:"
TOO_BIG = "Il file è troppo grande per il formato scelto:"
NO_SUCH_FILE = "Il file o la cartella non esiste."
IS_FOLDER = "Il nome indica una cartella."
DISK_FULL = "Spazio su disco esaurito."


def sample(n, seed=1):
    """Bytes with zeros inside, bytes >= 0xC0, runs longer than 63; the last byte is not 0
    (trailing zeros cannot come back)."""
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < n:
        if rng.random() < 0.25:
            out += bytes([rng.choice([0, rng.randrange(0xC0, 0x100)])]) * rng.randrange(1, 200)
        else:
            out.append(rng.randrange(256))
    out = out[:n]
    if out[-1] == 0:
        out[-1] = 0xFF
    return bytes(out)


def expect(condition, message):
    if not condition:
        raise Failure(message)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def carrier_pixels(path):
    """The carrier's pixel indices in linear order, read by Pillow."""
    with Image.open(path) as im:
        expect(im.mode in ("P", "L"), "%s is not 8-bit (mode %s)" % (path, im.mode))
        return im.size, im.tobytes()


def check_carrier(path, data):
    size, pixels = carrier_pixels(path)
    rows = len(data) // WIDTH + 1
    expect(size == (WIDTH, rows), "carrier is %dx%d, %dx%d expected" % (size + (WIDTH, rows)))
    expected = b"\0" + data + bytes(WIDTH * rows - len(data) - 1)
    if pixels != expected:
        first = next(i for i in range(len(pixels)) if pixels[i] != expected[i])
        raise Failure("carrier differs from the source at position %d: %d, %d expected"
                      % (first, pixels[first], expected[first]))


def make_carrier(path, data):
    """A carrier drawn by Pillow, independently of zororuzo."""
    rows = len(data) // WIDTH + 1
    im = Image.frombytes("P", (WIDTH, rows), b"\0" + data + bytes(WIDTH * rows - len(data) - 1))
    im.putpalette(bytes(range(256)) * 3)
    im.save(path)


def files_in(case):
    return sorted(os.listdir(case.workdir))


def encode(case, args, source, destination, saved_lines):
    """Runs zororuzo through its dialog with OK and checks its notice."""
    z = case.start(args.zororuzo, ZORORUZO_TITLE)
    z.set_names(source, destination)
    z.press_ok()
    screen = z.wait_notice(saved_lines)
    z.dismiss_notice()
    return z, screen


# ---- zororuzo ----

def zororuzo_normal(case, args):
    data = sample(2500)  # three rows
    write(case.path("dati.bin"), data)
    z = case.start(args.zororuzo, ZORORUZO_TITLE)
    z.set_names("dati.bin", "carrier.bmp")
    z.press_ok()
    screen = z.wait_notice([SAVED, "carrier.bmp", ""])
    z.check_progress(screen, "3 di 3")
    z.dismiss_notice()
    check_carrier(case.path("carrier.bmp"), data)
    expect(files_in(case) == ["carrier.bmp", "dati.bin"], "files left: %s" % files_in(case))


def zororuzo_escape_held(case, args):
    data = sample(5000, seed=2)  # five rows
    write(case.path("dati.bin"), data)
    z = case.start(args.zororuzo, ZORORUZO_TITLE)
    z.set_names("dati.bin", "carrier.pcx")
    z.x.park_mouse()
    # Esc closes the dialog and, still held, stops the conversion after its first byte.
    z.x.xdotool("keydown", "Escape")
    try:
        screen = z.wait_notice([SAVED, "carrier.pcx", ""])
    finally:
        z.x.xdotool("keyup", "Escape")
    z.check_progress(screen, "1 di 5")
    z.dismiss_notice()
    size, pixels = carrier_pixels(case.path("carrier.pcx"))
    expect(size == (WIDTH, 5), "carrier is %dx%d, 1024x5 expected" % size)
    expect(pixels == b"\0" + data[:1] + bytes(WIDTH * 5 - 2),
           "the carrier holds more or other than the first byte")


def zororuzo_missing_source(case, args):
    write(case.path("carrier.bmp"), b"an older file")
    z = case.start(args.zororuzo, ZORORUZO_TITLE)
    z.set_names("assente.bin", "carrier.bmp")
    z.press_ok()
    z.wait_notice([SOURCE_UNREADABLE, "assente.bin", NO_SUCH_FILE])
    z.dismiss_notice()
    expect(read(case.path("carrier.bmp")) == b"an older file", "the existing file was changed")
    expect(files_in(case) == ["carrier.bmp"], "files left: %s" % files_in(case))


def zororuzo_unwritable_destination(case, args):
    # Tests may run as root, who writes anywhere chmod allows: use places nobody can write to.
    write(case.path("dati.bin"), sample(3000, seed=3))
    os.mkdir(case.path("cartella.bmp"))
    for destination, reason in (("cartella.bmp", IS_FOLDER),
                                ("manca/carrier.bmp", NO_SUCH_FILE)):
        encode(case, args, "dati.bin", destination, [NOT_SAVED, destination, reason])
        expect(files_in(case) == ["cartella.bmp", "dati.bin"], "files left: %s" % files_in(case))
        expect(os.listdir(case.path("cartella.bmp")) == [], "something was written in the folder")


def zororuzo_refused_size(case, args):
    # 64 MiB need 65537 rows; a TGA holds 65535. Sparse, so it costs nothing.
    with open(case.path("grande.bin"), "wb") as f:
        f.truncate(64 << 20)
    encode(case, args, "grande.bin", "carrier.tga",
           [TOO_BIG, "carrier.tga", "Servono 65537 righe, il formato TGA ne contiene al massimo 65535."])
    expect(files_in(case) == ["grande.bin"], "files left: %s" % files_in(case))


# ---- devorudo ----

def devorudo_round_trip(case, args):
    data = sample(3000, seed=4)
    write(case.path("dati.bin"), data)
    encode(case, args, "dati.bin", "carrier.pcx", [SAVED, "carrier.pcx", ""])
    d = case.start(args.devorudo, DEVORUDO_TITLE)
    d.set_names("carrier.pcx", "copia.bin")
    d.press_ok()
    screen = d.wait_notice([SAVED, "copia.bin", ""])
    d.check_progress(screen, "3 di 3")
    d.dismiss_notice()
    copy = read(case.path("copia.bin"))
    expect(copy == data, "the copy differs: %d bytes, %d expected" % (len(copy), len(data)))
    expect(files_in(case) == ["carrier.pcx", "copia.bin", "dati.bin"],
           "files left: %s" % files_in(case))


def devorudo_escape_held(case, args):
    make_carrier(case.path("carrier.bmp"), sample(5000, seed=5))
    d = case.start(args.devorudo, DEVORUDO_TITLE)
    d.set_names("carrier.bmp", "copia.bin")
    d.x.park_mouse()
    d.x.xdotool("keydown", "Escape")
    try:
        d.wait_notice([SAVED, "copia.bin", ""])
    finally:
        d.x.xdotool("keyup", "Escape")
    d.dismiss_notice()
    expect(os.path.exists(case.path("copia.bin")), "the destination was not created")
    expect(read(case.path("copia.bin")) == b"", "the destination is not empty")


def devorudo_missing_source(case, args):
    write(case.path("copia.bin"), b"an older file")
    d = case.start(args.devorudo, DEVORUDO_TITLE)
    d.set_names("assente.bmp", "copia.bin")
    d.press_ok()
    d.wait_notice([IMAGE_UNREADABLE, "assente.bmp", NO_SUCH_FILE])
    d.dismiss_notice()
    expect(read(case.path("copia.bin")) == b"an older file", "the existing file was changed")
    expect(files_in(case) == ["copia.bin"], "files left: %s" % files_in(case))


def devorudo_full_disk(case, args):
    make_carrier(case.path("carrier.bmp"), sample(3000, seed=6))
    d = case.start(args.devorudo, DEVORUDO_TITLE)
    d.set_names("carrier.bmp", "/dev/full")
    d.press_ok()
    d.wait_notice([NOT_SAVED, "/dev/full", DISK_FULL])
    d.dismiss_notice()


def devorudo_long_and_accented_names(case, args):
    # Letters beyond ASCII come from the keyboard: an Italian layout has keys for them.
    case.x.xkb_layout("it")
    data = sample(2000, seed=7)
    write(case.path("città.bin"), data)
    long_name = "a" * 45 + ".tga"  # 49 characters, the most a field takes
    encode(case, args, "città.bin", long_name, [SAVED, long_name, ""])
    check_carrier(case.path(long_name), data)
    d = case.start(args.devorudo, DEVORUDO_TITLE)
    d.set_names(long_name, "città.copia")
    d.press_ok()
    d.wait_notice([SAVED, "città.copia", ""])
    d.dismiss_notice()
    expect(read(case.path("città.copia")) == data, "the copy differs")


CASES = {f.__name__: f for f in (
    zororuzo_normal, zororuzo_escape_held, zororuzo_missing_source,
    zororuzo_unwritable_destination, zororuzo_refused_size,
    devorudo_round_trip, devorudo_escape_held, devorudo_missing_source, devorudo_full_disk,
    devorudo_long_and_accented_names)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zororuzo", required=True)
    parser.add_argument("--devorudo")
    parser.add_argument("cases", nargs="*", help="default: every case the programs allow")
    args = parser.parse_args()
    names = args.cases or [n for n in CASES if args.devorudo or not n.startswith("devorudo")]
    failed = 0
    for name in names:
        if name not in CASES:
            parser.error("unknown case %s" % name)
        if name.startswith("devorudo") and not args.devorudo:
            parser.error("%s needs --devorudo" % name)
        try:
            with Case(name) as case:
                CASES[name](case, args)
            print("PASS", name)
        except Exception:
            failed += 1
            print("FAIL", name)
            traceback.print_exc()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
