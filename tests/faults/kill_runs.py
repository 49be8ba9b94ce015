#!/usr/bin/python3
"""kill_runs.py BENCH_CONVERT [--mib N] [--moments N] [--report]

A conversion over an existing file killed (SIGKILL) at evenly spread moments of its run, the
encoder's and the decoder's in turn: each time the folder must hold the source and the
destination, its old bytes or its new ones whole, and nothing else. --report prints the tally
and exits 0 whatever it found (to compare two builds)."""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import sample  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench")
    parser.add_argument("--mib", type=int, default=60)
    parser.add_argument("--moments", type=int, default=20)
    parser.add_argument("--report", action="store_true")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="kill-")
    left = wrong = 0
    try:
        data = sample.data(args.mib << 20)
        with open(os.path.join(work, "data.bin"), "wb") as f:
            f.write(data)
        runs = {}
        for mode, source, name in (("encode", "data.bin", "out.bmp"),
                                   ("decode", "carrier.bmp", "out.bin")):
            os.mkdir(os.path.join(work, mode))
            destination = os.path.join(work, mode, name)
            old = b"an older file"
            with open(destination, "wb") as f:
                f.write(old)
            start = time.monotonic()
            subprocess.run([args.bench, mode, os.path.join(work, source), destination],
                           check=True, capture_output=True, timeout=120)
            runs[mode] = (source, destination, old, time.monotonic() - start)
            if mode == "encode":
                shutil.copy(destination, os.path.join(work, "carrier.bmp"))
        new = {"encode": open(os.path.join(work, "carrier.bmp"), "rb").read(), "decode": data}
        for i in range(args.moments):
            mode = ("encode", "decode")[i % 2]
            source, destination, old, seconds = runs[mode]
            with open(destination, "wb") as f:
                f.write(old)
            process = subprocess.Popen([args.bench, mode, os.path.join(work, source),
                                        destination], stdout=subprocess.DEVNULL)
            time.sleep(seconds * (i + 0.5) / args.moments)
            process.send_signal(signal.SIGKILL)
            process.wait()
            folder = os.path.dirname(destination)
            others = sorted(set(os.listdir(folder)) - {os.path.basename(destination)})
            with open(destination, "rb") as f:
                held = f.read()
            if others:
                left += 1
                print("%s killed at %d/%d: left %s" % (mode, i, args.moments, others))
                for name in others:
                    os.unlink(os.path.join(folder, name))
            if held not in (old, new[mode]):
                wrong += 1
                print("%s killed at %d/%d: the destination is neither old nor new" % (
                    mode, i, args.moments))
    finally:
        shutil.rmtree(work)
    print("killed %d times: temporaries left %d, destination damaged %d" % (
        args.moments, left, wrong))
    if (left or wrong) and not args.report:
        sys.exit(1)


if __name__ == "__main__":
    main()
