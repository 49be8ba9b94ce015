#!/usr/bin/python3
"""Reads a picture with another program's reader: prints "WIDTH HEIGHT MODE", a newline, then
the pixels, rows top to bottom.

    read_with.py pillow PATH   Pillow's mode and bytes (palette indices for a "P" picture)
    read_with.py magick PATH   ImageMagick's colours, RGB; anything it says on stderr fails
    read_with.py netpbm PATH   netpbm's colours, RGB"""
import io, subprocess, sys
from PIL import Image

reader, path = sys.argv[1], sys.argv[2]
if reader == 'pillow':
    im = Image.open(path)
    im.load()
    mode, pixels = im.mode, im.tobytes()
else:
    if reader == 'magick':
        # ImageMagick's own; another `convert` may come first on PATH.
        command = ['/usr/bin/convert', path, '-auto-orient', 'ppm:-']
    else:
        tool = {'bmp': 'bmptopnm', 'tga': 'tgatoppm', 'pcx': 'pcxtoppm', 'png': 'pngtopnm'}
        command = [tool[path.rsplit('.', 1)[1].lower()], '-quiet', path]
    run = subprocess.run(command, capture_output=True, check=True)
    assert reader != 'magick' or not run.stderr, run.stderr
    im = Image.open(io.BytesIO(run.stdout)).convert('RGB')
    mode, pixels = 'RGB', im.tobytes()
sys.stdout.buffer.write(b'%d %d %s\n' % (im.size[0], im.size[1], mode.encode()) + pixels)
