#!/usr/bin/python3
"""Makes tests/data/formats/ (run it once and commit what it writes; the tests do not run it).

good/NAME.EXT  every reader accepts it; NAME.EXT.pgm (P5) holds the 8-bit bytes expected, rows top
               to bottom, or NAME.EXT.ppm (P6) the colours of a true-colour picture. NAME begins
               with its maker: gen (built here), pil (Pillow), im (ImageMagick), pnm (netpbm).
bad/DEFECT.WHAT.EXT  every reader refuses it with DEFECT.
Hand-built pictures expect what was built; tool-made ones what Pillow reads, once the tool is seen
to have kept the colours it was given. Every good picture is then read back by Pillow or
ImageMagick, and those that neither reads as expected are listed."""
import os, shutil, struct, subprocess, tempfile, zlib
from PIL import Image

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'formats')
TMP = tempfile.mkdtemp()
CONVERT = '/usr/bin/convert'  # ImageMagick's; another `convert` may come first on PATH
COLOURS = [(i, (i * 37) & 255, 255 - i) for i in range(256)]  # all distinct: no tool merges two
expected = {}

def put(name, data, exp=None):
    folder = 'good' if exp else 'bad'
    open(os.path.join(OUT, folder, name), 'wb').write(data)
    if exp:
        expected[name] = exp
        kind, w, h, pixels = exp
        open(os.path.join(OUT, folder, name + ('.pgm' if kind == 'P5' else '.ppm')), 'wb').write(
            b'%s\n%d %d\n255\n' % (kind.encode(), w, h) + pixels)

def indices(w, h, top=256, run=0):
    """Asymmetric, 0 first, many at 0xC0 and above; row 1 starts with a run `run` long."""
    px = [[(x * x * 5 + y * 29 + x * y * 3 + 0xC0 * (x % 3 == 2)) % top for x in range(w)] for y in range(h)]
    px[0][0] = 0
    px[1 % h][:run] = [0xC5 % top] * min(run, w)
    return px

def levels(n):
    """8-bit levels -> n-bit values on which every usual way of widening n bits to 8 agrees."""
    m = (1 << n) - 1
    wide = (lambda v: v << (8 - n) | v >> (2 * n - 8)) if n < 8 else (lambda v: v >> (n - 8))
    return {v * 255 // m: v for v in range(m + 1) if v * 255 // m == round(v * 255 / m) == wide(v)}

def colours(w, h, widths=(8, 8, 8)):
    ls = [list(range(0, 256, 15)) if n == 8 else sorted(levels(n)) for n in widths]
    return [[tuple(l[(x * (3 + 2 * c) + y * (5 - c) + c) % len(l)] for c, l in enumerate(ls)) for x in range(w)]
            for y in range(h)]

def idx(rows):
    return ('P5', len(rows[0]), len(rows), bytes(v for r in rows for v in r))

def rgb(rows):
    return ('P6', len(rows[0]), len(rows), bytes(c for r in rows for p in r for c in p))

def patch(data, at, fmt, value):
    return data[:at] + struct.pack(fmt, value) + data[at + struct.calcsize(fmt):]

def pack(row, bits):
    v = 0
    for x in row:
        v = v << bits | x
    return (v << (-len(row) * bits) % 8).to_bytes((len(row) * bits + 7) // 8, 'big')

# --- BMP ---------------------------------------------------------------------------------------
def bmp(hdr, w, h, bits, data, comp=0, pal=None, used=0, masks=None, gap=0, off=None):
    pal = (1 << bits if bits <= 8 else 0) if pal is None else pal
    palette = b''.join(bytes(COLOURS[i % 256][::-1]) + b'\0' * (hdr > 12) for i in range(pal))
    masks = struct.pack('<III', *masks) if masks else b''
    info = struct.pack('<IHHHH', 12, w, h, 1, bits) if hdr == 12 else (struct.pack(
        '<IiiHHIIiiII', hdr, w, h, 1, bits, comp, len(data), 2835, 2835, used, 0) + masks * (hdr > 40)).ljust(hdr, b'\0')[:hdr]
    start = 14 + hdr + len(masks) * (hdr == 40) + len(palette) + gap
    return (struct.pack('<2sIHHI', b'BM', start + len(data), 0, 0, start if off is None else off) + info +
            masks * (hdr == 40) + palette + b'\x5a' * gap + data)

def bmp_pixels(rows, bits, masks=None, topdown=False):
    """Rows of indices, or of colours laid out by `masks` (r, g, b), padded and ordered as stored."""
    def colour(p):  # bits of each channel: 8, or the levels all widenings agree on
        return sum((c if bin(m).count('1') == 8 else levels(bin(m).count('1'))[c]) << (m & -m).bit_length() - 1
                   for c, m in zip(p, masks)).to_bytes(bits // 8, 'little')
    lines = [b''.join(map(colour, r)) if masks else pack(r, bits) for r in (rows if topdown else rows[::-1])]
    return b''.join(r.ljust(len(r) + 3 & ~3, b'\0') for r in lines)

def rle(cmds, w, h, four):
    """A BMP run-length stream and the picture it draws (the stream runs bottom-up)."""
    px, x, y, out = [[0] * w for _ in range(h)], 0, 0, b''
    for c in cmds:
        if c[0] in ('run', 'lit'):
            vals = [c[2] >> 4 * (1 - i % 2) & 15 if four else c[2] for i in range(c[1])] if c[0] == 'run' else c[1]
            data = pack(vals, 4) if four else bytes(vals)
            out += bytes([c[1], c[2]]) if c[0] == 'run' else bytes([0, len(vals)]) + data + b'\0' * (len(data) % 2)
            px[y][x:x + len(vals)] = vals[:w - x]
            x += len(vals)
        elif c[0] == 'delta':
            out, x, y = out + bytes([0, 2, c[1], c[2]]), x + c[1], y + c[2]
        else:  # end of line or of picture
            out, x, y = out + bytes([0, c[0] == 'eop']), 0, y + 1
    return out, px[::-1]

RLE8 = [('run', 70, 0xC5), ('lit', [0, 0xFF, 7]), ('eol',), ('lit', [1, 2, 3, 0xC0]), ('delta', 5, 1), ('run', 3, 9),
        ('eol',), ('run', 73, 0xFE), ('eop',)]
RLE4 = [('run', 13, 0x1E), ('lit', [0, 15, 3]), ('eol',), ('delta', 2, 1), ('lit', [7, 8, 9, 10]), ('eol',),
        ('run', 5, 0xF0), ('delta', 4, 0), ('run', 7, 0x4C), ('eop',)]
FIELDS = {16: (0x7C00, 0x3E0, 0x1F), 24: (0xFF0000, 0xFF00, 0xFF), 32: (0xFF0000, 0xFF00, 0xFF)}

def make_bmp():
    p, p4 = indices(13, 5), indices(7, 3, 16)
    for bits in (1, 2, 4):
        r = indices(13, 5, 1 << bits)
        put('gen-v3-%d.bmp' % bits, bmp(40, 13, 5, bits, bmp_pixels(r, bits)), idx(r))
    for name, hdr, h, kw, top in (('v3-8', 40, 5, {}, 0), ('os2v1-8', 12, 5, {}, 0), ('v5-8', 124, 5, {}, 0),
                                  ('v3-8-topdown', 40, -5, {}, 1), ('v3-8-pal5', 40, 5, {'pal': 5, 'used': 5}, 0),
                                  ('v3-8-gap', 40, 5, {'gap': 10}, 0)):
        put('gen-%s.bmp' % name, bmp(hdr, 13, h, 8, bmp_pixels(p, 8, topdown=top), **kw), idx(p))
    put('gen-os2v2-16-4.bmp', bmp(16, 7, 3, 4, bmp_pixels(p4, 4)), idx(p4))
    put('gen-v3-4-pal20.bmp', bmp(40, 7, 3, 4, bmp_pixels(p4, 4), pal=20, used=20), idx(p4))
    for hdr in (40, 64):
        for (data, px), bits, w in ((rle(RLE8, 80, 4, False), 8, 80), (rle(RLE4, 17, 4, True), 4, 17)):
            put('gen-%s-rle%d-delta.bmp' % ('v3' if hdr == 40 else 'os2v2-64', bits), bmp(hdr, w, 4, bits, data, comp=1 if bits == 8 else 2), idx(px))
    for hdr, bits, masks in ((40, 16, None), (40, 24, None), (40, 32, None), (108, 24, None), (40, 16, (0xF800, 0x7E0, 0x1F)),
                             (52, 16, (0xF800, 0x7E0, 0x1F)), (56, 32, (0xFF00, 0xFF0000, 0xFF000000)),
                             (124, 32, (0x3FF00000, 0xFFC00, 0x3FF))):
        tc = colours(11, 3, [bin(m).count('1') for m in masks or FIELDS[bits]])
        put('gen-%d-%d%s.bmp' % (hdr, bits, '-fields' * bool(masks)),
            bmp(hdr, 11, 3, bits, bmp_pixels(tc, bits, masks or FIELDS[bits]), comp=3 * bool(masks), masks=masks), rgb(tc))
    good, os2 = bmp(40, 13, 5, 8, bmp_pixels(p, 8)), bmp(64, 13, 5, 8, bmp_pixels(p, 8))
    put('truncated.pixels.bmp', good[:-30])
    put('truncated.palette.bmp', good[:200])
    put('truncated.rle8-no-end.bmp', bmp(40, 80, 4, 8, rle(RLE8, 80, 4, False)[0][:-2], comp=1))
    put('damaged.rle4-run-past-row.bmp', bmp(40, 17, 4, 4, bytes([30, 0x12, 0, 1]), comp=2))
    for what, cmds in (('rle8-run-past-row', [('run', 81, 1)]), ('rle8-literal-past-row', [('delta', 78, 0), ('lit', [1, 2, 3])]),
                       ('rle8-delta-past-top', [('delta', 1, 4), ('run', 1, 1)]), ('rle8-rows-past-top', [('eol',)] * 4 + [('run', 1, 1)])):
        put('damaged.%s.bmp' % what, bmp(40, 80, 4, 8, rle(cmds + [('eop',)], 80, 6, False)[0], comp=1))
    put('damaged.offbits-in-header.bmp', bmp(40, 13, 5, 8, bmp_pixels(p, 8), off=40))
    for what, base, at, value in (('header-100', good, 14, 100), ('header-8', good, 14, 8), ('bits-3', good, 28, 3),
                                  ('planes-2', good, 26, 2), ('jpeg', good, 30, 4), ('png', good, 30, 5),
                                  ('os2-huffman', os2, 30, 3), ('os2-rle24', os2, 30, 4)):
        put('unsupported.%s.bmp' % what, patch(base, at, '<H', value))
    put('unsupported.not-bmp.bmp', b'PK\3\4' + good[4:])
    for w, h in ((65535, 65535), (100000, 100000), (30000, 30000)):
        put('too_large.%dx%d.bmp' % (w, h), bmp(40, w, h, 8, b'\0' * 64))
    put('too_large.rle8-20000x20000.bmp', bmp(40, 20000, 20000, 8, bytes([0, 1]), comp=1))

# --- TGA ---------------------------------------------------------------------------------------
def tga(kind, rows, bits, desc=0, ident=b'', cmap=(0, 0, 0), rle=False):  # rows of pixels' bytes
    stored = [r[::-1] if desc & 0x10 else r for r in (rows if desc & 0x20 else rows[::-1])]
    px, data, i = [p for r in stored for p in r], b'', 0
    while rle and i < len(px):  # one stream for the whole picture: packets run on from row to row
        n = 1
        while i + n < len(px) and n < 128 and px[i + n] == px[i]:
            n += 1
        if n > 1:
            data += bytes([0x7F + n]) + px[i]
        else:
            while i + n < len(px) and n < 128 and px[i + n] != px[i + n - 1]:
                n += 1
            data += bytes([n - 1]) + b''.join(px[i:i + n])
        i += n
    first, length, ebits = cmap
    entries = b''.join(bytes(COLOURS[(first + i) % 256][::-1] + (0x80,))[:ebits + 7 >> 3] for i in range(length))
    return struct.pack('<BBBHHBHHHHBB', len(ident), length > 0, kind + 8 * rle, first, length, ebits, 0, 0,
                       len(rows[0]), len(rows), bits, desc) + ident + entries + (data if rle else b''.join(px))

def make_tga():
    p, wide = indices(13, 5), indices(150, 3, run=140)
    one = lambda rows: [[bytes([v]) for v in r] for r in rows]
    for ebits in (8, 15, 16, 24, 32):
        put('gen-cmap%d.tga' % ebits, tga(1, one(p), 8, cmap=(0, 256, ebits)), idx(p))
    high = [[v | 0x80 for v in r] for r in p]
    put('gen-cmap24-first128-id.tga', tga(1, one(high), 8, cmap=(128, 128, 24), ident=b'corpus'), idx(high))
    put('gen-cmap24-rle.tga', tga(1, one(wide), 8, cmap=(0, 256, 24), rle=True), idx(wide))
    for desc, corner in ((0, 'bottom-left'), (0x10, 'bottom-right'), (0x20, 'top-left'), (0x30, 'top-right')):
        put('gen-grey-%s.tga' % corner, tga(3, one(p), 8, desc=desc), idx(p))
        put('gen-grey-rle-%s.tga' % corner, tga(3, one(wide), 8, desc=desc, rle=True), idx(wide))
    tc, five = colours(11, 3, (5, 5, 5)), levels(5)
    px = [[struct.pack('<H', five[r] << 10 | five[g] << 5 | five[b] | 0x8000) for r, g, b in row] for row in tc]
    for bits in (15, 16):
        put('gen-rgb%d.tga' % bits, tga(2, px, bits, desc=0x20), rgb(tc))
        put('gen-rgb%d-rle.tga' % bits, tga(2, px, bits, rle=True), rgb(tc))
    tc = colours(70, 3)
    tc[1][:66] = [(200, 10, 45)] * 66
    for bits in (24, 32):
        px = [[bytes([b, g, r] + [0x7F] * (bits == 32)) for r, g, b in row] for row in tc]
        put('gen-rgb%d-right.tga' % bits, tga(2, px, bits, desc=0x10), rgb(tc))
        put('gen-rgb%d-rle-id.tga' % bits, tga(2, px, bits, rle=True, ident=b'x'), rgb(tc))
    good = tga(1, one(p), 8, cmap=(0, 256, 24))
    put('truncated.pixels.tga', good[:-7])
    put('truncated.colour-map.tga', good[:18 + 300])
    put('truncated.rle.tga', tga(1, one(wide), 8, cmap=(0, 256, 24), rle=True)[:-5])
    put('damaged.rle-past-end.tga', tga(3, one(p), 8, rle=True)[:18] + bytes([0x80 | 127, 1]))
    put('damaged.raw-packet-past-end.tga', tga(3, [[b'\1'] * 3], 8, rle=True)[:18] + bytes([4, 1, 2, 3, 4, 5]))
    for what, base, at, value in (('type-32', good, 2, 32), ('type-0', good, 2, 0), ('rgb-12bits', tga(2, px, 24), 16, 12),
                                  ('grey-16bits', tga(3, one(p), 8), 16, 16)):
        put('unsupported.%s.tga' % what, patch(base, at, 'B', value))
    for w, h in ((65535, 65535), (30000, 30000)):
        put('too_large.%dx%d.tga' % (w, h), struct.pack('<BBBHHBHHHHBB', 0, 0, 3, 0, 0, 0, 0, 0, w, h, 8, 0) + b'\0' * 64)
        put('too_large.rle-%dx%d.tga' % (w, h), struct.pack('<BBBHHBHHHHBB', 0, 0, 11, 0, 0, 0, 0, 0, w, h, 8, 0) + b'\xff\0')

# --- PCX ---------------------------------------------------------------------------------------
def pcx(rows, planes=1, bpl=None):
    """An 8-bit PCX; `rows` hold one byte string per plane; the padding of each plane is 0x7E."""
    w, h = len(rows[0][0]), len(rows)
    bpl, out = bpl or w + w % 2, b''
    for line in (b''.join(p.ljust(bpl, b'\x7e') for p in row) for row in rows):
        i = 0
        while i < len(line):
            n = 1
            while i + n < len(line) and n < 63 and line[i + n] == line[i] and (i + n) % bpl:
                n += 1
            out, i = out + bytes([0xC0 | n]) * (n > 1 or line[i] >= 0xC0) + line[i:i + 1], i + n
    return (struct.pack('<BBBBHHHHHH48sBBHHHH54s', 10, 5, 1, 8, 0, 0, w - 1, h - 1, 72, 72, b'', 0, planes, bpl, 1, 0, 0, b'')
            + out + (b'\x0c' + bytes(c for col in COLOURS for c in col)) * (planes == 1))

def make_pcx():
    p, tc = indices(77, 3, run=70), colours(13, 3)
    put('gen-8-bpl-pad.pcx', pcx([[bytes(r)] for r in p], bpl=82), idx(p))
    put('gen-24-planes.pcx', pcx([[bytes(c[k] for c in r) for k in range(3)] for r in tc], planes=3), rgb(tc))
    good = pcx([[bytes(r)] for r in p])
    put('truncated.rle.pcx', good[:128 + 60])
    put('damaged.run-past-end.pcx', patch(good, 10, '<H', 0)[:128] + bytes([0xC0 | 63, 5, 0xC0 | 40, 5]))
    put('unsupported.4bits.pcx', patch(good, 3, 'B', 4))
    put('unsupported.manufacturer.pcx', patch(good, 0, 'B', 11))
    for w, h in ((60000, 60000), (30000, 30000)):
        put('too_large.%dx%d.pcx' % (w, h), patch(patch(patch(good, 8, '<H', w - 1), 10, '<H', h - 1), 66, '<H', w)[:200])

# --- PNG ---------------------------------------------------------------------------------------
def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))

def png(w, h, ctype, depth, rows, extra=b''):  # rows of samples, channels interleaved
    raw = b''.join(b'\0' + (pack(r, depth) if depth < 8 else b''.join(v.to_bytes(depth // 8, 'big') for v in r)) for r in rows)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, depth, ctype, 0, 0, 0)) + extra +
            chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b''))

def make_png():
    for depth in (1, 2, 4, 8, 16):
        m = (1 << depth) - 1
        rows = [[(x * 7 + y * 3 + (x > y)) * m // 21 % (m + 1) for x in range(13)] for y in range(5)]
        rows[0][0], rows[4][12] = 0, m
        put('gen-grey%d.png' % depth, png(13, 5, 0, depth, rows), idx([[round(v * 255 / m) for v in r] for r in rows]))
    p, tc = indices(13, 5), colours(13, 5)
    put('gen-rgb16.png', png(13, 5, 2, 16, [[c * 257 for px in r for c in px] for r in tc]), rgb(tc))
    put('gen-rgba16.png', png(13, 5, 6, 16, [[c * 257 for px in r for c in px + (9,)] for r in tc]), rgb(tc))
    put('gen-grey-alpha16.png', png(13, 5, 4, 16, [[v * 257 + k for v in r for k in (0, 1)] for r in p]), idx(p))
    put('gen-p8-plte16.png', png(13, 5, 3, 8, p, chunk(b'PLTE', bytes(c for col in COLOURS[:16] for c in col))), idx(p))
    good = png(13, 5, 3, 8, p, chunk(b'PLTE', bytes(c for col in COLOURS for c in col)))
    at, end = good.index(b'IDAT') - 4, chunk(b'IEND', b'')
    put('damaged.crc-ihdr.png', patch(good, 29, 'B', good[29] ^ 1))
    put('damaged.crc-idat.png', patch(good, at + 20, 'B', good[at + 20] ^ 0x40))
    put('damaged.zlib.png', good[:at] + chunk(b'IDAT', b'\x78\x01' + bytes(range(40))) + end)
    put('damaged.zlib-short.png', good[:at] + chunk(b'IDAT', zlib.compress(bytes(20))) + end)
    put('damaged.no-idat.png', good[:at] + end)
    put('truncated.idat.png', good[:at + 30])
    put('unsupported.signature.png', b'\x89PNX' + good[4:])
    put('unsupported.rgb-depth4.png', png(13, 5, 2, 4, [[1] * 39] * 5))
    put('unsupported.colour-type-5.png', png(13, 5, 5, 8, p))
    for w, h in ((65535, 65535), (100000, 100000), (20000, 20000)):
        put('too_large.%dx%d.png' % (w, h), png(w, h, 0, 8, [[0] * 8]))

# --- made by other programs --------------------------------------------------------------------
def by_pillow(name, data, source):
    """The expectation Pillow reads, once the maker is seen to have kept `source`'s colours."""
    path = os.path.join(TMP, 'check-' + name)
    open(path, 'wb').write(data)
    im = Image.open(path)
    assert im.convert('RGB').tobytes() == source.convert('RGB').tobytes(), name
    if source.mode == 'LA':
        return ('P5', im.width, im.height, source.getchannel(0).tobytes())
    if im.mode in ('P', 'L', '1'):
        return ('P5', im.width, im.height, bytes(v // 255 if im.mode == '1' else v for v in im.getdata()))
    return ('P6', im.width, im.height, im.convert('RGB').tobytes())

def make_tools():
    p = Image.frombytes('P', (13, 5), idx(indices(13, 5))[3])
    p.putpalette([c for col in COLOURS for c in col])
    wide = Image.frombytes('P', (150, 3), idx(indices(150, 3, run=140))[3])
    wide.putpalette(p.getpalette())
    grey, rgba = p.convert('L'), p.convert('RGBA')
    tc = Image.frombytes('RGB', (13, 5), rgb(colours(13, 5))[3])
    # ImageMagick writes its TGA rows top to bottom whatever the origin it declares, unless told
    # the origin: Pillow and netpbm both read its default TGA upside down.
    commands = [('im-v5-8.bmp', p, 'png', '{convert} {i} -compress none {o}'), ('im-v5-rle8.bmp', wide, 'bmp', '{convert} {i} {o}'),
                ('im-rle8-v5.bmp', wide, 'bmp', '{convert} {i} -compress RLE {o}'), ('im-v5-24.bmp', tc, 'png', '{convert} {i} {o}'),
                ('im-p.tga', p, 'png', '{convert} {i} -orient TopLeft {o}'),
                ('im-rle.tga', wide, 'png', '{convert} {i} -orient TopLeft -compress RLE {o}'),
                ('im-p.pcx', wide, 'png', '{convert} {i} {o}'), ('im-24.pcx', tc, 'png', '{convert} {i} {o}'),
                ('im-grey.png', grey.convert('RGB').quantize(256), 'png', '{convert} {i} -strip {o}'),
                ('im-p-interlaced.png', p, 'png', '{convert} {i} -strip -interlace PNG {o}'),
                ('im-rgb-interlaced.png', tc, 'png', '{convert} {i} -strip -interlace PNG {o}'),
                ('pnm-8.bmp', grey, 'pgm', 'ppmtobmp -bpp 8 < {i} > {o}'), ('pnm-os2-24.bmp', tc, 'ppm', 'ppmtobmp -os2 -bpp 24 < {i} > {o}'),
                ('pnm-8.pcx', wide.convert('RGB'), 'ppm', 'ppmtopcx -8bit < {i} > {o}'), ('pnm-24.pcx', tc, 'ppm', 'ppmtopcx -24bit < {i} > {o}'),
                ('pnm-grey-interlaced.png', grey, 'pgm', 'pnmtopng -interlace < {i} > {o}'), ('pnm-cmap8.tga', grey, 'pgm', 'pamtotga -cmap -name corpus < {i} > {o}')]
    commands += [(name, source, kw, None) for name, source, kw in (
        ('pil-p-odd.bmp', p, {}), ('pil-1.bmp', grey.point(lambda v: 255 * (v > 99)).convert('1'), {}),
        ('pil-rgba.bmp', rgba, {}), ('pil-p-odd.pcx', p, {}), ('pil-rgb.pcx', tc, {}), ('pil-grey.pcx', grey, {}),
        ('pil-p.tga', p, {}), ('pil-p-rle.tga', wide, {'compression': 'tga_rle'}),
        ('pil-grey-rle.tga', grey, {'compression': 'tga_rle'}), ('pil-rgba-rle.tga', rgba, {'compression': 'tga_rle'}),
        ('pil-p1.png', p.point(lambda v: v % 2), {'bits': 1}), ('pil-p2.png', p.point(lambda v: v % 4), {'bits': 2}),
        ('pil-p4.png', p.point(lambda v: v % 16), {'bits': 4}), ('pil-p8-trns.png', p, {'transparency': 0xC3}),
        ('pil-grey-alpha.png', grey.convert('LA'), {}), ('pil-rgb.png', tc, {}), ('pil-rgba.png', rgba, {}))]
    for name, source, ext, command in commands:
        src, out = os.path.join(TMP, 'src.%s' % ext), os.path.join(TMP, name)
        if command:
            source.save(src)
            subprocess.run(command.format(i=src, o=out, convert=CONVERT), shell=True, check=True, stderr=subprocess.DEVNULL)
        else:
            source.save(out, **ext)
        data = open(out, 'rb').read()
        if name != 'pnm-cmap8.tga':
            put(name, data, by_pillow(name, data, source))
            continue
        # A map of 8-bit entries, which Pillow does not read: a pixel's index is where its level
        # stands in the map, and netpbm must read the levels back.
        assert data[1:3] == b'\1\x09' and data[7] == 8, 'pamtotga -cmap writes something else now'
        cmap = data[18 + data[0]:18 + data[0] + struct.unpack('<H', data[5:7])[0]]
        assert subprocess.run('tgatoppm %s | ppmtopgm' % out, shell=True, capture_output=True).stdout.endswith(grey.tobytes())
        put(name, data, ('P5', 13, 5, bytes(cmap.index(v) for v in grey.tobytes())))

def independent_reads(path, kind):
    """What Pillow, then ImageMagick, make of a picture, as expected bytes would be written."""
    try:
        im = Image.open(path)
        im.load()
        if kind == 'P6':
            yield im.convert('RGB').tobytes()
        elif im.mode.startswith('I'):
            yield bytes(round(v * 255 / 65535) for v in im.getdata())
        else:  # a 1-bit BMP's pixels are indices, a 1-bit PNG's grey levels
            yield bytes(v // 255 if im.mode == '1' and im.format != 'PNG' else v for v in im.getchannel(0).getdata())
    except Exception:
        yield None
    rgb = subprocess.run([CONVERT, path, '-depth', '8', 'rgb:-'], capture_output=True).stdout
    index = {c: i for i, c in enumerate(COLOURS)}  # the palette of hand-built indexed pictures
    yield rgb if kind == 'P6' else bytes(index.get(tuple(rgb[i:i + 3]), 0) for i in range(0, len(rgb), 3))

if __name__ == '__main__':
    for folder in ('good', 'bad'):
        shutil.rmtree(os.path.join(OUT, folder), ignore_errors=True)
        os.makedirs(os.path.join(OUT, folder))
    for make in (make_bmp, make_tga, make_pcx, make_png, make_tools):
        make()
    shutil.rmtree(TMP)
    unconfirmed = [n for n, e in sorted(expected.items()) if e[3] not in independent_reads(os.path.join(OUT, 'good', n), e[0])]
    print('%d good, %d bad; read otherwise by Pillow and ImageMagick: %s' % (
        len(expected), len(os.listdir(os.path.join(OUT, 'bad'))), ' '.join(unconfirmed)))
