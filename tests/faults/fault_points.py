#!/usr/bin/python3
"""fault_points.py BENCH_CONVERT FAULT_SHIM [--report] [--errors eio,eintr,stall,unnamed,twice]

Both conversions, into and out of every container, over an existing file, by both routes: a
new file renamed over it, and the file rewritten in place (a folder that takes no new file, as
an ordinary user). Each run has one system call made to fail (tests/faults/fault_shim.c): every
k-th call of every kind the run makes, with EIO; then each with EINTR, which must not fail the
run; then writes that make no progress, which must fail it, and not hang; then a filesystem
without unnamed files (O_TMPFILE refused), where the run must succeed all the same; then, in
place, a sync or a cut that fails at the end and again as the copy is written back, which must be
told as damage.

After each run the folder must hold the source and the destination and nothing else, the
destination either its old bytes or the new ones whole, and the notice must say which. --report
prints the tally and exits 0 whatever it found (to compare two builds)."""

import argparse
import collections
import errno
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import sample  # noqa: E402

SAVED = "Immagine terminata e salvata come:"
DAMAGED = "Impossibile salvare il file, ora danneggiato:"
# The calls a signal can interrupt (Linux never interrupts fstat or lseek).
INTERRUPTIBLE = {"open", "tmpfile", "read", "pread", "write", "pwrite", "fsync", "ftruncate", "fallocate",
                 "rename", "linkat", "fchmod", "close"}
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def run(bench, shim, mode, source, destination, fault=None, count=None, user=(), home=None):
    env = dict(os.environ, LD_PRELOAD=shim, FAULT_ARM=source,
               ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0")
    env.pop("FAULT", None)
    if fault:
        env["FAULT"] = fault
    if count:
        env["FAULT_COUNT"] = count
    if home:
        env.update(HOME=home, XDG_CACHE_HOME=home)
    result = subprocess.run([*user, bench, mode, source, destination], env=env, timeout=10,
                            capture_output=True, text=True)
    lines = result.stdout.splitlines()
    return lines[1] if len(lines) > 1 else "(no notice: %s)" % result.stderr.strip()[-200:]


class Case:
    """One conversion into (or out of) one container by one route, with its expected bytes."""

    def __init__(self, args, root, mode, ext, in_place):
        self.args, self.mode, self.in_place = args, mode, in_place
        self.name = "%s %s%s" % (mode, ext, " in place" if in_place else "")
        self.base = tempfile.mkdtemp(dir=root)
        self.folder = os.path.join(self.base, "folder")
        self.home = os.path.join(self.base, "home")  # the copy of a file rewritten in place
        os.mkdir(self.folder)
        os.mkdir(self.home)
        data = sample.data(1200 << 10, seed=ext)
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
        for name in os.listdir(self.folder):
            os.unlink(os.path.join(self.folder, name))
        for name in os.listdir(self.home):
            os.unlink(os.path.join(self.home, name))
        with open(self.destination, "wb") as f:
            f.write(self.old)
        os.chmod(self.destination, 0o666)
        if self.in_place:
            os.chmod(self.folder, 0o555)

    def convert(self, fault=None, count=None):
        self.reset()
        return run(self.args.bench, self.args.shim, self.mode, self.source, self.destination,
                   fault, count, NOBODY if self.in_place else (), self.home)

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
        if (notice == SAVED) != (state == "new") or (notice == DAMAGED) != (state == "half"):
            return "holds the %s bytes, notice %r" % (state, notice)
        if must_succeed and notice != SAVED:
            return "failed: %r" % notice


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bench")
    parser.add_argument("shim")
    parser.add_argument("--report", action="store_true")
    parser.add_argument("--errors", default="eio,eintr,stall,unnamed,twice")
    args = parser.parse_args()
    errors = args.errors.split(",")
    root = tempfile.mkdtemp(prefix="faults-")
    os.chmod(root, 0o755)
    tally = collections.Counter()
    wrong = []
    try:
        for in_place in (False, True):
            for mode in ("encode", "decode"):
                for ext in ("bmp", "tga", "pcx", "png"):
                    case = Case(args, root, mode, ext, in_place)
                    route = "in place" if in_place else "normal"
                    points = [(kind, k) for kind, n in sorted(case.counts().items())
                              for k in range(1, n + 1)]
                    for error in errors:
                        if error == "twice" and not in_place:
                            continue
                        plan = ([("%s:%d:0+" % (kind, 1), kind) for kind in ("write", "pwrite")]
                                if error == "stall" else
                                [("%s:1:%d+" % (kind, errno.EIO), kind)
                                 for kind in ("fsync", "ftruncate")]
                                if error == "twice" else
                                [("tmpfile:%d:%d" % (k, errno.EOPNOTSUPP), kind)
                                 for kind, k in points if kind == "tmpfile"]
                                if error == "unnamed" else
                                [("%s:%d:%d" % (kind, k, errno.EINTR if error == "eintr" else
                                               errno.EIO), kind) for kind, k in points
                                 if error != "eintr" or kind in INTERRUPTIBLE])
                        for fault, kind in plan:
                            try:
                                notice = case.convert(fault)
                                what = case.judge(notice,
                                                  must_succeed=error in ("eintr", "unnamed"),
                                                  must_damage=error == "twice")
                            except subprocess.TimeoutExpired:
                                what = "did not end"
                            tally[route, error, "points"] += 1
                            if what:
                                tally[route, error, "wrong"] += 1
                                tally[route, error, what.split(" ")[0]] += 1
                                wrong.append("%s, %s: %s" % (case.name, fault, what))
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
