#!/usr/bin/python3
"""Reads a picture with Pillow: prints "WIDTH HEIGHT MODE", a newline, then each pixel's grey level
(a carrier's index i is (i, i, i) or (i, i, i + 1), whose level is i), rows top to bottom.

    read_with.py PATH            Pillow alone
    read_with.py PATH --others   and fails unless ImageMagick (silently) and netpbm read the same
                                 colours as Pillow"""
import io, subprocess, sys
from PIL import Image

path = sys.argv[1]
im = Image.open(path)
im.load()
if sys.argv[2:] == ['--others']:
    netpbm = {'bmp': 'bmptopnm', 'tga': 'tgatoppm', 'pcx': 'pcxtoppm', 'png': 'pngtopnm'}
    # ImageMagick's own convert: another may come first on PATH.
    for command in (['/usr/bin/convert', path, '-auto-orient', 'ppm:-'],
                    [netpbm[path.rsplit('.', 1)[1].lower()], '-quiet', path]):
        run = subprocess.run(command, capture_output=True, check=True)
        assert 'netpbm' in command[0] or not run.stderr, run.stderr
        assert Image.open(io.BytesIO(run.stdout)).convert('RGB').tobytes() == \
            im.convert('RGB').tobytes(), command[0]
pixels = im.convert('L').tobytes()
sys.stdout.buffer.write(b'%d %d %s\n' % (im.size[0], im.size[1], im.mode.encode()) + pixels)
