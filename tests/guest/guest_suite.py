#!/usr/bin/env python3
"""The tool on a real serial driver: a Linux guest under QEMU (software
emulation) whose COM1 and COM2 are the emulated 16550 UARTs of the
kernel's 8250 driver, /dev/ttyS0 and /dev/ttyS1. The guest's shell runs on
a virtio console; the host ends of the two UARTs are unix sockets of this
suite, never a port of the host.

    guest_suite.py KERNEL INITRD WORKDIR

Ends with 'N passed, M failed'; exits 1 when any check failed."""
import sys
import time

from guest_lib import (Checks, Guest, ended_beside_control, hispeed, holds_bytes, pattern,
                       quiet_end_check,
                       reset_port, socket_chardevs, wait_raw)


def start_guest(kernel, initrd, work):
    """The guest with COM1 and COM2 on the sockets com1 and com2, and a
    third 8250 slot with no UART behind it."""
    # -display none, not -nographic: with -nographic the firmware
    # prints a banner on COM1, which would reach a receiver as data.
    return Guest(
        ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none",
         "-m", "256", "-kernel", kernel, "-initrd", initrd, "-append", "quiet 8250.nr_uarts=3"]
        + socket_chardevs(work, (("con", "con"), ("com1", "s0"), ("com2", "s1")))
        + ["-device", "virtio-serial-pci", "-device", "virtconsole,chardev=con",
           "-serial", "chardev:s0", "-serial", "chardev:s1"],
        work)


def settings_of(guest, device):
    out, _ = guest.run(f"stty -F {device} -a; grep '^{device[-1]}:' /proc/tty/driver/serial")
    return out


def line_settings(guest, device):
    out, _ = guest.run(f"stty -F {device} -a")
    return out


def main():
    kernel, initrd, work = sys.argv[1:4]
    prog = pattern(3000)
    checks = Checks()
    started = time.monotonic()
    guest = start_guest(kernel, initrd, work)
    print(f"guest booted in {time.monotonic() - started:.1f} s")
    try:
        # 1. COM1 is /dev/ttyS0: the header's code and the data's code arrive.
        header = bytes([0x00, 0x80, (0x8000 + 3000) & 0xFF, (0x8000 + 3000) >> 8])
        want = hispeed(header + prog)
        out, status = guest.run("vesklo e /data/prog COM1 -h8000")
        got = guest.take("com1", len(want))
        checks.expect(status == 0 and got == want, "e to COM1 delivers the code of header and data",
                      f"status {status}, {len(got)} of {len(want)} bytes, output {out!r}")

        # 2 and 3. A receive, with the line settings read while it holds the port.
        reset_port(guest, "/dev/ttyS0")
        guest.run("(vesklo d COM1 /tmp/out > /tmp/d.log 2>&1; echo \"== received $?\") &")
        wait_raw(guest, "/dev/ttyS0")
        held = settings_of(guest, "/dev/ttyS0")
        checks.expect("speed 115200 baud" in held, "while held, COM1 runs at 115200", held)
        for flag in ("cs7", "crtscts", "-ixon", "-ixoff", "-icanon", "-echo", "-opost", "-isig",
                     "-istrip", "-icrnl"):
            checks.expect(flag in held.split(), f"while held, COM1 has {flag}", held)
        line0 = held.strip().splitlines()[-1]
        checks.expect("RTS" in line0 and "DTR" in line0, "while held, DTR and RTS are raised", line0)
        guest.send("com1", hispeed(prog))
        status, quiet, control = ended_beside_control(guest, "received", time.monotonic(), 2,
                                                      holds_bytes("/tmp/out", len(prog)))
        same, _ = guest.run("cmp /tmp/out /data/prog && echo SAME")
        checks.expect(status == 0 and "SAME" in same, "d from COM1 receives exactly", same)
        quiet_end_check(checks, "the receive", quiet, control)
        after = settings_of(guest, "/dev/ttyS0")
        checks.expect("speed 115200 baud" in after, "after the run, COM1 keeps 115200", after)
        for flag in ("cs7", "crtscts", "-ixon", "-icanon"):
            checks.expect(flag in after.split(), f"after the run, COM1 keeps {flag}", after)
        out, status = guest.run("vesklo c /data/prog COM1 -b57600")
        guest.take("com1", len(prog))
        at57600 = settings_of(guest, "/dev/ttyS0")
        checks.expect(status == 0 and "speed 57600 baud" in at57600 and "cs8" in at57600.split(),
                      "at 57600 COM1 has 8 data bits", at57600)

        # 5. A second run on COM1 while a first holds it is refused.
        reset_port(guest, "/dev/ttyS0")
        guest.run("vesklo d COM1 /tmp/held > /dev/null 2>&1 &")
        wait_raw(guest, "/dev/ttyS0")
        out, status = guest.run("vesklo c /data/prog COM1")
        guest.run("kill %1 2>/dev/null; kill $! 2>/dev/null; wait")
        checks.expect(status == 1 and "Can't open destination file 'COM1'" in out
                      and "in use by another program" in out, "a held COM1 is refused", out)

        # 6. Rates a 16550 cannot make are refused, saying what it would run
        # at, and leave the port as it was; the ones it can make work. The
        # divisor of 1 baud overflows the chip's 16-bit latches; above
        # 115200 the driver keeps the port's rate.
        for rate, ok, actual in ((76800, False, 57600), (100000, False, 115200),
                                 (38400, True, 0), (57600, True, 0), (1, False, 2),
                                 (230400, False, 57600)):
            before = line_settings(guest, "/dev/ttyS0")
            out, status = guest.run(f"vesklo c /data/prog COM1 -b{rate}")
            if ok:
                guest.take("com1", len(prog))
                checks.expect(status == 0, f"{rate} baud is made", out)
            else:
                after = line_settings(guest, "/dev/ttyS0")
                checks.expect(status == 1 and f"the port refused {rate} baud (it runs at {actual})" in out
                              and after == before, f"{rate} baud is refused, the port left as it was",
                              out + before + after)

        # 7. --list shows the two UARTs with their COM names, and not the
        # slot without one; it opens no port.
        out, status = guest.run("vesklo --list")
        lines = [l for l in out.strip().splitlines() if l.startswith("/dev/")]
        checks.expect(status == 0 and len(lines) == 2
                      and lines[0].startswith("/dev/ttyS0  COM1  16550A  driver ")
                      and lines[1].startswith("/dev/ttyS1  COM2  16550A  driver "),
                      "--list shows COM1 and COM2, not the empty slot", out)

        # 4. COM1 to COM2 inside the guest, the host joining them like a cable.
        guest.relay = True
        reset_port(guest, "/dev/ttyS1")
        guest.run("(vesklo d COM2 /tmp/o > /dev/null 2>&1; echo \"== received $?\") &")
        wait_raw(guest, "/dev/ttyS1")
        out, status = guest.run("vesklo e /data/prog COM1")
        guest.wait_console(rb"== received (\d+)\r?\n", 30)
        same, _ = guest.run("cmp /tmp/o /data/prog && echo SAME")
        checks.expect(status == 0 and "SAME" in same, "e into COM1, d out of COM2: exact", same)
        reset_port(guest, "/dev/ttyS1")
        guest.run("(vesklo c COM2 /tmp/o2 -b57600 > /dev/null 2>&1; echo \"== received $?\") &")
        wait_raw(guest, "/dev/ttyS1")
        out, status = guest.run("vesklo c /data/all256 COM1 -b57600")
        guest.wait_console(rb"== received (\d+)\r?\n", 30)
        same, _ = guest.run("cmp /tmp/o2 /data/all256 && echo SAME")
        checks.expect(status == 0 and "SAME" in same, "all 256 byte values at 57600, COM1 to COM2: exact",
                      same)
    except RuntimeError as e:
        checks.expect(False, "the guest answered", str(e))
    finally:
        guest.stop()
    print(f"guest suite took {time.monotonic() - started:.1f} s")
    checks.finish()


if __name__ == "__main__":
    main()
