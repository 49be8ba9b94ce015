#!/usr/bin/python3
"""fault_points.py BENCH_CONVERT FAULT_SHIM [--report] [--errors eio,eintr,stall,unnamed,twice]
                [--kill MOMENTS --mib N]

Both conversions, into and out of every container, over an existing file, by both routes (a new
file renamed over it; the file rewritten in place, in a folder that takes no new file, as an
ordinary user), each run with one system call made to fail (fault_shim.c): every call of every
kind in turn with EIO, which may fail the run, and with EINTR, which must not; writes that make
no progress, which must fail it and not hang; no O_TMPFILE, which must not; in place, a sync or
a cut failing at the end and again as the copy is written back, which must be told as damage.
The written file's failed close must be told.
--kill: no fault, a BMP's conversions of N MiB killed at evenly spread moments of their runs.
After each run the folder holds the source and the destination, nothing else; the destination
its old bytes or the new ones whole, as the notice (if any) says. --report prints the tally and
exits 0 whatever it found (to compare two builds)."""

import argparse
import collections
import errno
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import sample  # noqa: E402

SAVED = "Immagine terminata e salvata come:"
DAMAGED = "Impossibile salvare il file, ora danneggiato:"
# The calls a signal can interrupt (Linux never interrupts fstat or lseek).
INTERRUPTIBLE = {"open", "tmpfile", "read", "pread", "write", "pwrite", "fsync", "ftruncate", "fallocate",
                 "rename", "linkat", "fchmod", "close"}
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


class Case:
    """One conversion into (or out of) one container by one route, with its expected bytes."""

    def __init__(self, args, root, mode, ext, in_place, size=1200 << 10):
        self.args, self.mode, self.in_place = args, mode, in_place
        self.name = "%s %s%s" % (mode, ext, " in place" if in_place else "")
        self.base = tempfile.mkdtemp(dir=root)
        self.folder = os.path.join(self.base, "folder")
        self.home = os.path.join(self.base, "home")  # the copy of a file rewritten in place
        for folder in (self.folder, self.home):
            os.mkdir(folder)
        data = sample.data(size, seed=ext)
        self.source = os.path.join(self.base, "source." + ("bin" if mode == "encode" else ext))
        carrier = os.path.join(self.base, "carrier." + ext)
        with open(os.path.join(self.base, "data.bin"), "wb") as f:
            f.write(data)
        subprocess.run([args.bench, "encode", os.path.join(self.base, "data.bin"), carrier],
                       check=True, capture_output=True)
        shutil.copy(os.path.join(self.base, "data.bin") if mode == "encode" else carrier,
                    self.source)
        self.new = data if mode == "decode" else open(carrier, "rb").read()
        self.old = b"an older file " * (len(self.new) // 10)  # longer than the new one
        self.destination = os.path.join(self.folder, "out." + ("bin" if mode == "decode" else ext))
        for path in (self.base, self.home, self.source):
            os.chmod(path, 0o777 if os.path.isdir(path) else 0o644)

    def reset(self):
        os.chmod(self.folder, 0o777)
        for folder in (self.folder, self.home):
            for name in os.listdir(folder):
                os.unlink(os.path.join(folder, name))
        with open(self.destination, "wb") as f:
            f.write(self.old)
        os.chmod(self.destination, 0o666)
        if self.in_place:
            os.chmod(self.folder, 0o555)

    def start(self, fault=None, count=None):
        """The conversion over the old destination, started with the shim (and `fault`)."""
        self.reset()
        env = dict(os.environ, LD_PRELOAD=self.args.shim, FAULT_ARM=self.source, HOME=self.home,
                   XDG_CACHE_HOME=self.home, ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0")
        env.pop("FAULT", None)
        env.update({"FAULT": fault} if fault else {}, **({"FAULT_COUNT": count} if count else {}))
        return subprocess.Popen([*(NOBODY if self.in_place else ()), self.args.bench, self.mode,
                                 self.source, self.destination], env=env, text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def convert(self, fault=None, count=None):
        """The notice's first line."""
        process = self.start(fault, count)
        try:
            out, err = process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise
        lines = out.splitlines()
        return lines[1] if len(lines) > 1 else "(no notice: %s)" % err.strip()[-200:]

    def counts(self):
        count = os.path.join(self.base, "count")
        notice = self.convert(count=count)
        assert notice == SAVED, "%s: a run without a fault failed: %s" % (self.name, notice)
        with open(self.destination, "rb") as f:
            assert f.read() == self.new, "%s: a run without a fault wrote other bytes" % self.name
        with open(count) as f:
            counts = {kind: int(n) for kind, n in map(str.split, f)}
        assert "fsync" in counts, "%s: the shim saw no sync (not loaded?): %s" % (self.name, counts)
        return counts

    def judge(self, notice, must_succeed=False, must_damage=False):
        """What is wrong after a run, or None."""
        left = sorted(set(os.listdir(self.folder)) - {os.path.basename(self.destination)})
        if left or os.listdir(self.home):
            return "left behind: %s" % (left or os.listdir(self.home))
        with open(self.destination, "rb") as f:
            held = f.read()
        state = "new" if held == self.new else "old" if held == self.old else "half"
        if must_damage:  # the bytes may be anything, unsynced
            return None if notice == DAMAGED else "not told as damaged: %r" % notice
        if state == "half":
            return "half-changed (%d bytes), notice %r" % (len(held), notice)
        if notice is None:  # killed: no notice to agree with
            return None
        if (notice == SAVED) != (state == "new") or (notice == DAMAGED) != (state == "half"):
            return "holds the %s bytes, notice %r" % (state, notice)
        if must_succeed and notice != SAVED:
            return "failed: %r" % notice


def plan(error, points):
    """The faults of one kind of error for a run whose calls are `points`: (fault, call)."""
    if error == "stall":
        return [("%s:1:0+" % kind, kind) for kind in ("write", "pwrite")]
    if error == "twice":
        return [("%s:1:%d+" % (kind, errno.EIO), kind) for kind in ("fsync", "ftruncate")]
    if error == "unnamed":
        return [("tmpfile:%d:%d" % (k, errno.EOPNOTSUPP), kind) for kind, k in points
                if kind == "tmpfile"]
    code = errno.EINTR if error == "eintr" else errno.EIO
    return [("%s:%d:%d" % (kind, k, code), kind) for kind, k in points
            if error != "eintr" or kind in INTERRUPTIBLE]


def killed(case, moments, seconds):
    """Runs of `case` killed at evenly spread moments of the `seconds` a whole one takes."""
    for i in range(moments):
        process = case.start()
        time.sleep(seconds * (i + 0.5) / moments)
        process.kill()
        process.communicate()
        yield "at %d/%d" % (i, moments), case.judge(None)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench")
    parser.add_argument("shim")
    parser.add_argument("--report", action="store_true")
    parser.add_argument("--errors", default="eio,eintr,stall,unnamed,twice")
    parser.add_argument("--kill", type=int, default=0)
    parser.add_argument("--mib", type=int, default=16)
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="faults-")
    os.chmod(root, 0o755)
    tally, wrong = collections.Counter(), []

    def judged(case, route, error, runs):
        for fault, what in runs:
            tally[route, error, "points"] += 1
            if what:
                tally[route, error, "wrong"] += 1
                tally[route, error, what.split(" ")[0]] += 1
                wrong.append("%s, %s: %s" % (case.name, fault, what))

    def faulted(case, error, points):
        told = 0  # failed closes the notice told of
        for fault, kind in plan(error, points):
            try:
                notice = case.convert(fault)
                told += kind == "close" and notice != SAVED
                yield fault, case.judge(notice, error in ("eintr", "unnamed"), error == "twice")
            except subprocess.TimeoutExpired:
                yield fault, "did not end"
        if error == "eio" and not told:  # the written file's close, whatever the others'
            yield "close", "no failed close told"

    try:
        if args.kill:
            for mode in ("encode", "decode"):
                case = Case(args, root, mode, "bmp", False, args.mib << 20)
                start = time.monotonic()
                assert case.convert() == SAVED, "%s: a run without a fault failed" % case.name
                judged(case, "normal", "kill", killed(case, args.kill, time.monotonic() - start))
        for in_place in (False, True) if not args.kill else ():
            for mode in ("encode", "decode"):
                for ext in ("bmp", "tga", "pcx", "png"):
                    case = Case(args, root, mode, ext, in_place)
                    route = "in place" if in_place else "normal"
                    points = [(kind, k) for kind, n in sorted(case.counts().items())
                              for k in range(1, n + 1)]
                    for error in args.errors.split(","):
                        if error != "twice" or in_place:
                            judged(case, route, error, faulted(case, error, points))
                    shutil.rmtree(case.base)
    finally:
        os.system("chmod -R u+w %s; rm -rf %s" % (root, root))
    for key in sorted(tally):
        print("%-9s %-6s %-12s %d" % (*key, tally[key]))
    for line in wrong[:40]:
        print(line)
    if wrong and not args.report:
        sys.exit("%d of %d runs went wrong" % (len(wrong), sum(
            v for k, v in tally.items() if k[2] == "points")))


if __name__ == "__main__":
    main()
