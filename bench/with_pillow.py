#!/usr/bin/python3
"""with_pillow.py encode|decode SOURCE DESTINATION

Pillow doing the same job as a conversion (a 1024-wide mode "P" picture, the carrier's greys);
prints the seconds of its own work, for bench/run."""

import sys, time
from PIL import Image
way, source, destination = sys.argv[1:]
start, cpu = time.perf_counter(), time.process_time()
if way == "encode":
    data = open(source, "rb").read()
    picture = Image.frombytes("P", (1024, len(data) // 1024 + 1),
                              b"\0" + data + bytes(-(len(data) + 1) % 1024))
    picture.putpalette(bytes(i for i in range(256) for _ in range(3)))  # the carrier's greys
    picture.save(destination)
else:
    pixels = Image.open(source).tobytes()
    end = len(pixels) - 1024 + len(pixels[-1024:].rstrip(b"\0"))  # the file's last byte is not 0
    open(destination, "wb").write(memoryview(pixels)[1:end])
print("seconds=%.6f cpu_seconds=%.6f" % (time.perf_counter() - start, time.process_time() - cpu))
