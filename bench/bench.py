#!/usr/bin/env python3
"""Times vesklo's c, e and d on a 128 MiB file against dd with the same block
sizes, alternating the two in one go, and prints the median time ratio and
the peak memory of each. A benchmark, not a test: it asserts nothing."""
import os
import statistics
import subprocess
import sys
import tempfile
import time

SIZE = 128 * 1024 * 1024
RUNS = 7


def run(argv):
    """Runs argv with its output discarded; returns (seconds, peak KiB).
    The command runs under GNU time, which reports the peak of the command
    alone (a child forked from Python would count Python's own pages)."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        result = subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%M"] + argv,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
        if result.returncode != 0:
            sys.exit("failed: " + " ".join(argv))
        return elapsed, int(report.read().split()[-1])


def main():
    vesklo = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/vesklo")
    with tempfile.TemporaryDirectory(prefix="vesklo-bench-") as work:
        raw = os.path.join(work, "raw")
        code = os.path.join(work, "code")
        out = os.path.join(work, "out")
        with open(raw, "wb") as f:
            f.write(os.urandom(SIZE))
        if run([vesklo, "e", raw, code])[0] <= 0:
            sys.exit("no time measured")
        cases = [
            ("c", raw, 2048, 1.10),
            ("e", raw, 1024, 1.35),
            ("d", code, 2048, 1.15),
        ]
        print(f"{'cmd':4}{'vesklo s':>10}{'dd s':>8}{'ratio':>8}{'aim':>6}"
              f"{'vesklo KiB':>12}{'dd KiB':>8}{'mem ratio':>11}")
        for cmd, src, bs, aim in cases:
            ratios, ours, theirs, mem_ours, mem_theirs = [], [], [], 0, 0
            for _ in range(RUNS):
                t1, m1 = run([vesklo, cmd, src, out])
                t2, m2 = run(["dd", f"if={src}", f"of={out}", f"bs={bs}"])
                ratios.append(t1 / t2)
                ours.append(t1)
                theirs.append(t2)
                mem_ours, mem_theirs = max(mem_ours, m1), max(mem_theirs, m2)
            print(f"{cmd:4}{statistics.median(ours):10.3f}{statistics.median(theirs):8.3f}"
                  f"{statistics.median(ratios):8.3f}{aim:6.2f}{mem_ours:12d}{mem_theirs:8d}"
                  f"{mem_ours / mem_theirs:11.2f}")


if __name__ == "__main__":
    main()
