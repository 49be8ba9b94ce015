#!/usr/bin/python3
"""Seeds for the fuzz targets beyond the committed corpus: OUTDIR/{bmp,tga,pcx,png}/*.

The corpus (tests/data/formats/good and bad, which fuzz/run copies in too) holds the valid
pictures of every variant and the refused ones, each with its verdict. These are the files at
the edges where the readers and the library's loaders part ways, built byte by byte so that the
differential targets start at them rather than wait for a mutation to find them: TGA colour maps
of more than 256 entries, TGA packets and PCX runs that run on into the next row, every BMP
run-length command, and sizes whose product passes an int.

Run with any Python 3: fuzz/make_seeds.py OUTDIR
"""
import os
import struct
import sys


def bmp_file(width, height, bpp, pixel_data, compression=0, colours=256):
    """A Windows BMP: 14-byte file header, 40-byte info header, grey palette, pixel data."""
    palette = b"".join(bytes((i, i, i, 0)) for i in range(colours)) if bpp <= 8 else b""
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bpp, compression,
                       len(pixel_data), 2835, 2835, colours if bpp <= 8 else 0, 0)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixel_data), 0, 0, offset)
    return header + info + palette + pixel_data


def bmp_seeds():
    return {
        # Every RLE8 command inside the picture: runs, literals of odd and even length (with
        # their padding), a delta, ends of rows and of the picture.
        "rle8_commands": bmp_file(
            12, 4, 8, b"\x03\x41" + b"\0\x03\xc1\xc2\xc3\0" + b"\0\0"
            + b"\0\x04\x01\x02\x03\x04" + b"\0\x02\x02\x01" + b"\x02\x09" + b"\0\0"
            + b"\x0c\xff" + b"\0\1", compression=1),
        "rle4_commands": bmp_file(
            12, 3, 4, b"\x05\x12" + b"\0\x05\x34\x56\x70\0" + b"\0\0"
            + b"\0\x02\x03\x00" + b"\x04\xab" + b"\0\0" + b"\x0c\x9c" + b"\0\1",
            compression=2, colours=16),
        # Rows ended early and a picture ended before its last row: the rest stays 0.
        "rle8_short_rows": bmp_file(8, 4, 8, b"\x02\x07\0\0" + b"\x01\x09\0\1", compression=1),
        # Top-down run-length (refused by the format) and top-down raw (read).
        "rle8_top_down": bmp_file(8, -2, 8, b"\x08\x05\0\0\x08\x06\0\1", compression=1),
        "top_down_8": bmp_file(4, -3, 8, bytes(range(1, 13))),
        # width x height just past an int, with almost no data.
        "overflow_46341": bmp_file(46341, 46341, 8, bytes(64)),
    }


def tga_file(image_type, width, height, bpp, body, cmap=None, first=0, entry_size=24,
             descriptor=0):
    """A TGA: 18-byte header, colour map (cmap entries of entry_size bits), body."""
    cmap_type = 1 if cmap is not None else 0
    length = cmap if cmap is not None else 0
    header = struct.pack("<BBBHHBHHHHBB", 0, cmap_type, image_type, first, length,
                         entry_size if cmap_type else 0, 0, 0, width, height, bpp, descriptor)
    colours = bytes(length * ((entry_size + 7) // 8)) if cmap_type else b""
    return header + colours + body


def tga_seeds():
    pixels = bytes((1, 5, 9, 200, 3, 7, 250, 4))
    return {
        "cmap_300_entries": tga_file(1, 4, 2, 8, pixels, cmap=300),
        "cmap_65535_entries": tga_file(1, 4, 2, 8, pixels, cmap=65535),
        "cmap_first_plus_length": tga_file(1, 4, 2, 8, pixels, cmap=100, first=200),
        "cmap_8bit_entries": tga_file(1, 4, 2, 8, pixels, cmap=16, entry_size=8),
        # Packets that run on into the next row, inside the picture.
        "rle_across_rows": tga_file(9, 4, 2, 8, b"\x85\x07\x81\x09", cmap=256),
        "rle_raw_across_rows": tga_file(9, 3, 2, 8, b"\x04\x01\x02\x03\x04\x05\x80\x06",
                                        cmap=256),
        "rle_truecolour_across_rows": tga_file(10, 2, 2, 24, b"\x82\1\2\3\x80\4\5\6"),
        "right_to_left": tga_file(3, 4, 2, 8, pixels, descriptor=0x10),
    }


def pcx_file(width, height, planes, bytes_per_line, body, bpp=8):
    header = struct.pack("<BBBBHHHHHH", 10, 5, 1, bpp, 0, 0, width - 1, height - 1, 72, 72)
    header += bytes(48) + bytes((0, planes)) + struct.pack("<HH", bytes_per_line, 1)
    header += bytes(128 - len(header))
    return header + body


def pcx_seeds():
    return {
        # A run past the end of its line.
        "run_across_lines": pcx_file(4, 2, 1, 4, b"\xc6\x05\xc2\x07"),
        # Lines shorter than the width.
        "short_lines": pcx_file(64, 2, 1, 8, b"\xc8\x05" * 2),
        # Three planes, one run across the planes of a line.
        "planes_run_across": pcx_file(2, 2, 3, 2, b"\xc3\x10\xc3\x20" + b"\xc6\x30"),
    }


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py OUTDIR")
    root = sys.argv[1]
    for container, seeds in (("bmp", bmp_seeds()), ("tga", tga_seeds()), ("pcx", pcx_seeds()),
                             ("png", {})):
        folder = os.path.join(root, container)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, "edge_" + name + "." + container), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
