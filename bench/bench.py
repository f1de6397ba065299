#!/usr/bin/env python3
"""Times vesklo's c, e and d on 128 MiB on tmpfs against dd doing the same
I/O, in alternating runs, and prints the medians and spread of CPU time
(user + sys) and wall time, the CPU ratio against its target, and peak
memory. dd stands in for the least a copy can cost: for c it copies the
raw file, for e and d the code file (e writes the same bytes, d reads them).
Then the cost of the progress dots on a terminal: the same c with standard
output on a pseudo-terminal against standard output to a file, for the
native build and, given as a second argument and where Wine runs it, the
Windows build (target: within 1.2 times). A benchmark, not a test: it
asserts nothing."""
import os
import pty
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

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


def drain(fd):
    """Reads fd until it ends, as a terminal's reader would."""
    try:
        while os.read(fd, 65536):
            pass
    except OSError:
        pass


def wall_with_output(argv, cwd, terminal):
    """Wall time of argv with its standard output on a fresh
    pseudo-terminal that a thread reads, or in a file."""
    if terminal:
        master, slave = pty.openpty()
        reader = threading.Thread(target=drain, args=(master,), daemon=True)
        reader.start()
        sink = slave
    else:
        sink = os.open(os.path.join(cwd, "printed"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    started = time.monotonic()
    subprocess.run(argv, cwd=cwd, stdout=sink, stderr=subprocess.DEVNULL, check=True)
    wall = time.monotonic() - started
    os.close(sink)
    if terminal:
        reader.join(5)
        os.close(master)
    return wall


def terminal_ratio(label, argv, cwd):
    """Prints the median wall time of argv with standard output on a
    terminal and in a file, and their ratio. The same for an empty source
    shows what a terminal costs a run before any dot (under Wine, the start
    of its console)."""
    tty, file = [], []
    for _ in range(5):
        tty.append(wall_with_output(argv, cwd, True))
        file.append(wall_with_output(argv, cwd, False))
    ratio = statistics.median(tty) / statistics.median(file)
    what = "c 128 MiB" if argv[-2] == "raw" else "c empty  "
    print(f"{label:8} {what}, standard output on a terminal {spread(tty)} s, in a file "
          f"{spread(file)} s: {ratio:.2f}x" + (" (target 1.2x)" if argv[-2] == "raw" else ""))


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
        print("progress dots on a terminal; 5 alternating runs; median (min-max)")
        open(os.path.join(work, "empty"), "wb").close()
        runs = [("native", [vesklo])]
        exe = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else ""
        wine = shutil.which("wine") or shutil.which("wine64")
        if exe and os.path.exists(exe) and wine:
            runs.append(("wine", [wine, exe]))
        for label, command in runs:
            for source in ("raw", "empty"):
                terminal_ratio(label, command + ["c", source, "out"], work)


if __name__ == "__main__":
    main()
