#!/usr/bin/python3
"""tool_table.py BENCH_CONVERT [--report]

Carriers passed through other programs' image tools, as a user would, then decoded. The
verdicts: exact (the file back, no warning), kept (a warning, the file back but for its zeros at
the end), warned (a warning, other bytes), refused, silent (other bytes, no warning: always a
failure). A case whose verdict is not the table's fails too. --report prints the verdicts and
their counts and exits 0 (for measuring)."""
import os, subprocess, sys, tempfile
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import sample  # noqa: E402

IM = '/usr/bin/convert'  # ImageMagick's own: another convert may come first on PATH

# Each tool path is a shell command run in the case's folder: it reads the carrier c.{a} and
# writes t.{b}, the picture decoded. netpbm's are round trips through its own format.
TOOLS = {
    'im': IM + ' c.{a} t.{b}',
    'gm': 'gm convert c.{a} t.{b}',
    'pillow': sys.executable + ''' -c "from PIL import Image; Image.open('c.{a}').save('t.{b}')"''',
    **{'im-' + k: IM + ' c.{a} %st.{b}' % v for k, v in (
        ('png8', 'png8:'), ('palette', '-type Palette '), ('png24', 'PNG24:'), ('png32', 'PNG32:'))},
    'optipng': 'optipng -quiet -out t.{b} c.{a}',
    'pngcrush': 'pngcrush -q c.{a} t.{b}',
    'advpng': 'cp c.{a} t.{b} && advpng -q -z -4 t.{b}',
    'zopflipng': 'zopflipng -y c.{a} t.{b}',
    **{w.split()[0] + ('-8' if ' ' in w else ''): r + ' c.{a} | %s >t.{b}' % w
       for r, w in (('pngtopnm', 'pnmtopng'), ('bmptoppm', 'ppmtobmp'), ('tgatoppm', 'pamtotga'),
                    ('tgatoppm', 'ppmtotga'), ('pcxtoppm', 'ppmtopcx'), ('pngtopnm', 'ppmtoilbm'),
                    ('pngtopnm', 'ppmtoilbm -maxplanes 8'))},  # the default ILBM: 24 planes
}

# Tool, carrier's container, the tool's containers; every case comes back exact but the one
# refused. A record survives in a PNG text comment and a TGA ID field (ImageMagick and
# GraphicsMagick carry either into the other); BMP and PCX records are lost on re-saving, and so
# is the PNG comment for Pillow, advpng, zopflipng and netpbm. Every one of them keeps the
# colours, and with them the palette's check, which gives the file's length: in their own palette
# order (ImageMagick's png8:, the netpbm writers' own colour maps), in true colour (PNG24:,
# PNG32:, Pillow's and ImageMagick's TGA of a BMP, rows turned over), in an 8-plane ILBM. The
# default 24-plane ILBM is no picture the decoder reads.
TABLE = [(tool, a, 'bmp tga pcx png') for tool in ('im', 'gm', 'pillow')
         for a in ('bmp', 'tga', 'pcx', 'png')] + [
    ('im-png8', 'png', 'png'), ('im-png8', 'bmp', 'png'),  # the palette in its own order
    ('im-palette', 'png', 'png bmp'), ('im-palette', 'bmp', 'bmp'),
    ('im-png24', 'png', 'png'), ('im-png32', 'png', 'png'),  # RGB, RGBA
    ('optipng', 'png', 'png'), ('pngcrush', 'png', 'png'),  # tEXt kept
    ('advpng', 'png', 'png'), ('zopflipng', 'png', 'png'),  # tEXt dropped
    ('pnmtopng', 'png', 'png'), ('ppmtobmp', 'bmp', 'bmp'), ('pamtotga', 'tga', 'tga'),
    ('ppmtotga', 'tga', 'tga'), ('ppmtopcx', 'pcx', 'pcx'),  # their own colour maps
    ('ppmtoilbm', 'png', 'lbm'), ('ppmtoilbm-8', 'png', 'lbm'),
]
REFUSED = {('ppmtoilbm', 'png', 'lbm')}
CASES = [(tool, a, b, 'refused' if (tool, a, b) in REFUSED else 'exact')
         for tool, a, bs in TABLE for b in bs.split()]


def bench(bench_convert, work, *args):
    """Whether the conversion was done, and the notice's three lines."""
    lines = subprocess.run([bench_convert, *args], cwd=work, capture_output=True,
                           text=True).stdout.split('\n') + ['', '', '']
    return 'status=done' in lines[0].split(), lines[1:4]


def verdict(bench_convert, data, tool, a, b, work):
    with open(os.path.join(work, 'source.bin'), 'wb') as f:
        f.write(data)
    done, notice = bench(bench_convert, work, 'encode', 'source.bin', 'c.' + a)
    if not done:
        return 'encode failed: ' + ' '.join(notice)
    run = subprocess.run('set -o pipefail; ' + TOOLS[tool].format(a=a, b=b), shell=True,
                         executable='/bin/bash', cwd=work, capture_output=True)
    if run.returncode != 0 or not os.path.exists(os.path.join(work, 't.' + b)):
        return 'tool failed: ' + run.stderr.decode(errors='replace').strip()[-200:]
    done, notice = bench(bench_convert, work, 'decode', 't.' + b, 'back.bin')
    if not done:
        return 'refused'
    with open(os.path.join(work, 'back.bin'), 'rb') as f:
        back = f.read()
    if notice[2]:
        return 'kept' if back == data.rstrip(b'\0') else 'warned'
    return 'exact' if back == data else 'silent'


def main():
    bench_convert, report = os.path.abspath(sys.argv[1]), sys.argv[2:] == ['--report']
    # 100 kB of random stretches, text, runs and zeros, then 400 zero bytes.
    data, counts, faults = sample.data(100_000, seed=20240607, zeros=400), Counter(), []
    for tool, a, b, expected in CASES:
        with tempfile.TemporaryDirectory() as work:
            got = verdict(bench_convert, data, tool, a, b, work)
        name = '%s %s>%s' % (tool, a, b)
        print('%-22s %s' % (name, got), flush=True)
        counts[got.split(':')[0]] += 1
        if got == 'silent' or got != expected:
            faults.append('%s: expected %s, got %s' % (name, expected, got))
    print(', '.join('%s %d' % kv for kv in sorted(counts.items())))
    if faults and not report:
        sys.exit('\n'.join(['FAILED (%d):' % len(faults)] + faults))


main()
