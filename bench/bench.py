#!/usr/bin/env python3
"""Times vesklo's c, e and d on 128 MiB on tmpfs against dd doing the same
I/O, in alternating runs, and prints the medians and spread of CPU time
(user + sys) and wall time, the CPU ratio against its target, and peak
memory. dd stands in for the least a copy can cost: for c it copies the
raw file, for e and d the code file (e writes the same bytes, d reads them).
A benchmark, not a test: it asserts nothing."""
import os
import resource
import statistics
import subprocess
import sys
import tempfile

SIZE = 128 * 1024 * 1024
RUNS = 15


def run(argv, out):
    """Runs argv into a fresh out; returns (cpu s, wall s, peak KiB) of the
    command alone. GNU time measures it: a child forked from Python would
    count Python's own pages in its peak."""
    if os.path.exists(out):
        os.unlink(out)
    # GNU time reports in hundredths; the children's usage, to the
    # microsecond, holds time's own small share for both sides alike.
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    with tempfile.NamedTemporaryFile("r") as report:
        result = subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%e %M"] + argv,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if result.returncode != 0:
            sys.exit("failed: " + " ".join(argv))
        wall, peak = report.read().split()[-2:]
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return cpu, float(wall), int(peak)


def spread(values):
    return f"{statistics.median(values):.3f} ({min(values):.3f}-{max(values):.3f})"


def main():
    vesklo = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/vesklo")
    where = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(prefix="vesklo-bench-", dir=where) as work:
        raw, code, out = (os.path.join(work, n) for n in ("raw", "code", "out"))
        with open(raw, "wb") as f:
            for _ in range(SIZE // (1 << 20)):
                f.write(os.urandom(1 << 20))
        run([vesklo, "e", raw, code], out)
        cases = [("c", raw, raw, 1.05), ("e", raw, code, 1.05), ("d", code, code, 0.85)]
        print(f"128 MiB on {work}; {RUNS} alternating runs; median (min-max)")
        print(f"{'':4}{'vesklo cpu s':>22}{'dd cpu s':>22}{'cpu ratio':>11}{'target':>8}"
              f"{'vesklo wall s':>22}{'dd wall s':>22}{'KiB':>7}{'dd KiB':>8}")
        for cmd, src, dd_src, target in cases:
            ours, theirs = [], []
            for _ in range(RUNS):
                ours.append(run([vesklo, cmd, src, out], out))
                theirs.append(run(["dd", f"if={dd_src}", f"of={out}", "bs=2048"], out))
            ratio = statistics.median(o[0] / t[0] for o, t in zip(ours, theirs))
            mem = max(o[2] for o in ours), max(t[2] for t in theirs)
            print(f"{cmd:4}{spread([o[0] for o in ours]):>22}{spread([t[0] for t in theirs]):>22}"
                  f"{ratio:11.3f}{target:8.2f}{spread([o[1] for o in ours]):>22}"
                  f"{spread([t[1] for t in theirs]):>22}{mem[0]:7d}{mem[1]:8d}"
                  f"   memory {mem[0] / mem[1]:.2f}x (target 1.5x)")


if __name__ == "__main__":
    main()
