#!/usr/bin/env python3
"""Sends 64 KiB with e through the paced null modem at 115200 baud, 7 data
bits (12,800 characters a second), received with d, and reports how busy
the line was from its first to its last character and when the sender and
the receiver ended after the last character. A benchmark: it checks only
that the data arrived exact."""
import os
import subprocess
import sys
import tempfile
import termios
import time

RATE, BITS, SIZE = 115200, 7, 64 * 1024


def main():
    vesklo = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/vesklo")
    modem_bin = os.path.join(os.path.dirname(vesklo), "null_modem")
    with tempfile.TemporaryDirectory(prefix="vesklo-line-") as work:
        data, out = os.path.join(work, "data"), os.path.join(work, "out")
        with open(data, "wb") as f:
            f.write(os.urandom(SIZE))
        modem = subprocess.Popen([modem_bin, str(RATE), str(BITS)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        end_a, end_b = modem.stdout.readline().split()
        # The sender starts once the receiver has put its end into raw mode.
        # The end is opened first: the receiver then holds it for itself.
        watch = os.open(end_b, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        receiver = subprocess.Popen([vesklo, "d", end_b, out], stdout=subprocess.DEVNULL)
        while termios.tcgetattr(watch)[3] & termios.ICANON:
            time.sleep(0.01)
        os.close(watch)
        subprocess.run([vesklo, "e", data, end_a], stdout=subprocess.DEVNULL, check=True)
        sender_end = time.monotonic()
        receiver.wait()
        receiver_end = time.monotonic()
        modem.stdin.close()
        stats = modem.stderr.read()
        modem.wait()
        line = next(l for l in stats.splitlines() if "first to second" in l)
        # "null_modem: first to second: N characters, first T, last done T, line busy P%"
        fields = line.split(": ", 2)[2].replace(",", "").replace("%", "").split()
        characters, last, busy = int(fields[0]), float(fields[6]), float(fields[9])
        with open(data, "rb") as a, open(out, "rb") as b:
            exact = a.read() == b.read()
    print(f"line {RATE} baud, {BITS} data bits: {RATE // (BITS + 2)} characters a second")
    print(f"characters sent           {characters} ({characters * (BITS + 2) / RATE:.2f} s of line)")
    print(f"line busy, first to last  {busy:.1f}%   (target at least 98%)")
    print(f"sender ended              {sender_end - last:+.2f} s after the last character")
    print(f"receiver ended            {receiver_end - last:+.2f} s after the last character"
          "   (target 2 s plus at most 0.25 s)")
    print(f"received data exact       {'yes' if exact else 'NO'}")
    if not exact:
        sys.exit(1)


if __name__ == "__main__":
    main()
