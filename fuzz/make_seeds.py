#!/usr/bin/python3
"""Seeds for the decoder's fuzz targets: OUTDIR/{bmp,tga,pcx,png}/*.

Per container:
  ok_*   small valid pictures written by Pillow: carriers (mode P, 1024 columns), other widths,
         and the other pixel formats the library's loaders read (grey, true colour, 1-bit).
  bad_*  the classes of hostile file the library's loaders mishandle, built byte by byte:
         TGA colour maps over 256 entries or past entry 256, TGA run-length packets running
         past the picture, BMP width x height overflowing an int, BMP RLE8 deltas leaving the
         picture, and BMP, PCX, TGA (and PNG) files cut short inside their pixels.
  odd_*, unread_*  files at the edges: read in a way of their own, or not read by the library.
The encoder's own carriers are added by the seed_carriers program (fuzz/run does both).

Run with the system's Python, which has Pillow: /usr/bin/python3 fuzz/make_seeds.py OUTDIR
"""
import io
import os
import random
import struct
import sys

from PIL import Image


def sample(n, seed):
    """n bytes with zeros inside, bytes >= 0xC0, long runs, and a last byte that is not 0."""
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < n:
        kind = rng.randrange(4)
        if kind == 0:
            out += bytes([rng.randrange(256)]) * rng.randrange(1, 80)
        elif kind == 1:
            out += bytes(rng.randrange(1, 6))
        else:
            out += bytes(rng.randrange(0xC0, 256) for _ in range(rng.randrange(1, 20)))
    out = out[:n]
    if n:
        out[-1] = out[-1] or 0x41
    return bytes(out)


def carrier_pixels(data, width):
    """The pixels of a carrier `width` columns wide holding `data` from position 1."""
    rows = (len(data) + 1 + width - 1) // width
    pixels = bytearray(rows * width)
    pixels[1:1 + len(data)] = data
    return pixels, rows


def palette_image(data, width):
    pixels, rows = carrier_pixels(data, width)
    img = Image.frombytes("P", (width, rows), bytes(pixels))
    img.putpalette(bytes(range(256)) * 3)
    return img


def encoded(img, fmt, **options):
    buffer = io.BytesIO()
    img.save(buffer, fmt, **options)
    return buffer.getvalue()


def valid_seeds():
    """{container: {name: bytes}} of valid pictures."""
    seeds = {c: {} for c in ("bmp", "tga", "pcx", "png")}
    carriers = {
        "carrier_1024x1": palette_image(sample(700, 1), 1024),
        "carrier_1024x2": palette_image(sample(1024, 2), 1024),
        "carrier_513x3": palette_image(sample(1200, 3), 513),
        "carrier_7x5": palette_image(sample(30, 4), 7),
        "carrier_1x9": palette_image(sample(8, 5), 1),
    }
    empty = Image.frombytes("P", (16, 2), bytes(32))
    grey = Image.frombytes("L", (13, 4), sample(52, 6))
    rgb = Image.frombytes("RGB", (9, 3), sample(81, 7))
    rgba = Image.frombytes("RGBA", (5, 3), sample(60, 8))
    mono = Image.frombytes("L", (21, 3), sample(63, 9)).convert("1")
    for name, img in carriers.items():
        seeds["bmp"]["ok_" + name] = encoded(img, "BMP")
        seeds["tga"]["ok_" + name] = encoded(img, "TGA")
        seeds["tga"]["ok_" + name + "_rle"] = encoded(img, "TGA", compression="tga_rle")
        seeds["pcx"]["ok_" + name] = encoded(img, "PCX")
        seeds["png"]["ok_" + name] = encoded(img, "PNG")
    for c, fmt in (("bmp", "BMP"), ("tga", "TGA"), ("pcx", "PCX"), ("png", "PNG")):
        seeds[c]["ok_empty"] = encoded(empty, fmt)
        seeds[c]["ok_rgb"] = encoded(rgb, fmt)
        if c != "pcx":
            seeds[c]["ok_grey"] = encoded(grey, fmt)
        if c in ("bmp", "png", "tga"):
            seeds[c]["ok_rgba"] = encoded(rgba, fmt)
        # 1-bit TGA and PCX are well formed, but the library does not read them.
        seeds[c]["ok_mono" if c in ("bmp", "png") else "unread_mono"] = encoded(mono, fmt)
    seeds["tga"]["ok_rgb_rle"] = encoded(rgb, "TGA", compression="tga_rle")
    seeds["tga"]["ok_grey_rle"] = encoded(grey, "TGA", compression="tga_rle")
    seeds["png"]["ok_grey16"] = encoded(Image.frombytes("I;16", (6, 2), sample(24, 10)), "PNG")
    seeds["bmp"]["ok_rle8"] = bmp_rle8(8, 4, rle8_rows(8, 4, sample(31, 11)))
    # Every kind of RLE command, inside the picture: runs, literals of odd and even length
    # (with their padding), a delta, ends of rows and of the picture.
    seeds["bmp"]["ok_rle8_commands"] = bmp_rle8(
        12, 4, b"\x03\x41" + b"\0\x03\xc1\xc2\xc3\0" + b"\0\0"
        + b"\0\x04\x01\x02\x03\x04" + b"\0\x02\x02\x01" + b"\x02\x09" + b"\0\0"
        + b"\x0c\xff" + b"\0\1")
    seeds["bmp"]["ok_rle4_commands"] = bmp_file(
        12, 3, 4, b"\x05\x12" + b"\0\x05\x34\x56\x70\0" + b"\0\0"
        + b"\0\x02\x03\x00" + b"\x04\xab" + b"\0\0" + b"\x0c\x9c" + b"\0\1",
        compression=2, colours=16)
    return seeds


# --- BMP --------------------------------------------------------------------------------------

def bmp_file(width, height, bpp, pixel_data, compression=0, colours=256):
    """A Windows BMP: 14-byte file header, 40-byte info header, palette, pixel data."""
    palette = b"".join(bytes((i, i, i, 0)) for i in range(colours)) if bpp <= 8 else b""
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bpp, compression,
                       len(pixel_data), 2835, 2835, colours if bpp <= 8 else 0, 0)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixel_data), 0, 0, offset)
    return header + info + palette + pixel_data


def rle8_rows(width, height, data):
    """RLE8 commands for a carrier: literal pairs of one pixel each, row by row, bottom up."""
    pixels, _ = carrier_pixels(data, width)
    pixels = pixels[:width * height].ljust(width * height, b"\0")
    out = bytearray()
    for y in reversed(range(height)):
        for x in range(width):
            out += bytes((1, pixels[y * width + x]))
        out += b"\0\0"
    out[-2:] = b"\0\1"
    return bytes(out)


def bmp_rle8(width, height, commands):
    return bmp_file(width, height, 8, commands, compression=1)


def bad_bmp():
    seeds = {}
    # width x height overflows an int; the file holds almost nothing.
    seeds["bad_overflow_65536x65536"] = bmp_file(65536, 65536, 8, bytes(64))
    seeds["bad_overflow_46341x46341"] = bmp_file(46341, 46341, 8, bytes(64))
    seeds["bad_overflow_24bit"] = bmp_file(32768, 32768, 24, bytes(64))
    # RLE8 deltas that leave the picture: far right, far down, and a run past the row.
    seeds["bad_rle8_delta_right"] = bmp_rle8(8, 4, b"\0\2\xff\0" + b"\x10\x07" + b"\0\1")
    seeds["bad_rle8_delta_down"] = bmp_rle8(8, 4, b"\0\2\0\x09" + b"\x04\x07" + b"\0\1")
    seeds["bad_rle8_run_past_row"] = bmp_rle8(8, 4, b"\xff\x07" * 3 + b"\0\1")
    seeds["bad_rle8_literal_past_row"] = bmp_rle8(4, 2, b"\0\x40" + bytes(range(1, 65)) + b"\0\1")
    seeds["bad_rle8_no_end"] = bmp_rle8(8, 64, b"\x02\x05" * 4)
    seeds["bad_rle4_run_past_row"] = bmp_file(4, 2, 4, b"\x09\x12\0\1", compression=2,
                                              colours=16)
    # Top-down (negative height), which the library reads wrongly.
    seeds["bad_top_down"] = bmp_file(8, -2, 8, sample(16, 12))
    return seeds


# --- TGA --------------------------------------------------------------------------------------

def tga_file(image_type, width, height, bpp, body, cmap=None, first=0, entry_size=24,
             descriptor=0):
    """A TGA: 18-byte header, colour map (cmap entries of entry_size bits), body."""
    cmap_type = 1 if cmap is not None else 0
    length = cmap if cmap is not None else 0
    header = struct.pack("<BBBHHBHHHHBB", 0, cmap_type, image_type, first, length,
                         entry_size if cmap_type else 0, 0, 0, width, height, bpp, descriptor)
    colours = bytes(length * ((entry_size + 7) // 8)) if cmap_type else b""
    return header + colours + body


def bad_tga():
    seeds = {}
    pixels = sample(8, 13)
    seeds["bad_cmap_300_entries"] = tga_file(1, 4, 2, 8, pixels, cmap=300)
    seeds["bad_cmap_65535_entries"] = tga_file(1, 4, 2, 8, pixels, cmap=65535)
    seeds["bad_cmap_first_plus_length"] = tga_file(1, 4, 2, 8, pixels, cmap=100, first=200)
    # Run-length packets running past the picture: 128 repeats into an 8-pixel picture.
    seeds["bad_rle_past_image"] = tga_file(9, 4, 2, 8, b"\xff\x07" * 4, cmap=256)
    seeds["bad_rle_raw_past_image"] = tga_file(9, 4, 2, 8, b"\x7f" + bytes(range(128)), cmap=256)
    seeds["bad_rle_truecolour_past_image"] = tga_file(10, 2, 2, 24, b"\xff\1\2\3" * 2)
    seeds["bad_rle_crosses_row"] = tga_file(9, 4, 2, 8, b"\x85\x07\x81\x09", cmap=256)
    return seeds


# --- PCX --------------------------------------------------------------------------------------

def pcx_file(width, height, planes, bytes_per_line, body, bpp=8):
    header = struct.pack("<BBBBHHHHHH", 10, 5, 1, bpp, 0, 0, width - 1, height - 1, 72, 72)
    header += bytes(48) + bytes((0, planes)) + struct.pack("<HH", bytes_per_line, 1)
    header += bytes(128 - len(header))
    return header + body


def bad_pcx():
    seeds = {}
    # The line length does not cover the width.
    seeds["bad_short_lines"] = pcx_file(64, 2, 1, 8, b"\xc1\x05" * 16)
    # Huge size, almost no data.
    seeds["bad_huge"] = pcx_file(65535, 65535, 1, 65535, b"\xff\x05" * 4)
    # Runs longer than a row: the loader drops what passes the row's end, so this one loads.
    seeds["odd_run_past_row"] = pcx_file(4, 2, 1, 4, b"\xff\x05" * 3)
    return seeds


# --- PNG --------------------------------------------------------------------------------------

def bad_png(valid):
    seeds = {}
    ihdr_at = 8
    data = bytearray(valid)
    # A huge IHDR (checksum fixed so that libpng reads on).
    import zlib
    huge = bytearray(data)
    huge[ihdr_at + 8:ihdr_at + 16] = struct.pack(">II", 100000, 100000)
    crc = zlib.crc32(bytes(huge[ihdr_at + 4:ihdr_at + 21])) & 0xFFFFFFFF
    huge[ihdr_at + 21:ihdr_at + 25] = struct.pack(">I", crc)
    seeds["bad_huge_ihdr"] = bytes(huge)
    return seeds


def pixel_end(container, data):
    """Where a valid file's pixel data ends: before a TGA's footer or a PCX's palette."""
    if container == "tga" and data.endswith(b"TRUEVISION-XFILE.\0"):
        return len(data) - 26
    if container == "pcx" and len(data) > 128 + 769 and data[-769] == 0x0C:
        return len(data) - 769
    return len(data)


def truncations(container, valid):
    """Valid files cut short inside their pixels: three bytes short, and halfway through."""
    out = {}
    for name, data in valid.items():
        if name in ("ok_carrier_1024x2", "ok_carrier_7x5", "ok_rgb"):
            end = pixel_end(container, data)
            start = 128 if container == "pcx" else 18 if container == "tga" else 0
            out["bad_truncated_half_" + name[3:]] = data[:(start + end) // 2]
            out["bad_truncated_end_" + name[3:]] = data[:end - 3]
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py OUTDIR")
    root = sys.argv[1]
    seeds = valid_seeds()
    extra = {"bmp": bad_bmp(), "tga": bad_tga(), "pcx": bad_pcx(),
             "png": bad_png(seeds["png"]["ok_carrier_7x5"])}
    for container in seeds:
        extra[container].update(truncations(container, seeds[container]))
    for container, files in seeds.items():
        folder = os.path.join(root, container)
        os.makedirs(folder, exist_ok=True)
        for name, data in list(files.items()) + list(extra[container].items()):
            with open(os.path.join(folder, name + "." + container), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
