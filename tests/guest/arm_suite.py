#!/usr/bin/env python3
"""The tool on the PL011, the UART of ARM boards and the Raspberry Pi's own,
driven by Linux's amba-pl011 driver in two guests under QEMU (software
emulation): the arm64 'virt' machine, whose PL011 runs from a 24 MHz clock
and whose shell is on a virtio console, and the Raspberry Pi 3B, whose
PL011 runs from 48 MHz and whose shell is on the mini UART. The host end
of the PL011 is a unix socket of this suite, never a port of the host.

    arm_suite.py KERNEL PI_DTB INITRD WORKDIR [MACHINE...]

Runs both machines unless some are named. Ends with 'N passed, M failed';
exits 1 when any check failed."""
import re
import sys
import time

from guest_lib import (Checks, Guest, ended_beside_control, hispeed, holds_bytes, pattern,
                       quiet_end_check, reset_port, socket_chardevs, wait_raw)

PORT = "/dev/ttyAMA0"

# The machines: the PL011's clock, and QEMU's arguments beyond the kernel
# and the initramfs. The kernel's console is the shell's channel (loglevel=3
# keeps all but its gravest messages off it), never the PL011: messages
# there would reach a receiver as data. con= tells init the channel.
MACHINES = {
    "virt": (24_000_000,
             ["-M", "virt", "-cpu", "cortex-a57", "-m", "256",
              "-append", "console=hvc0 loglevel=3",
              "-device", "virtio-serial-device", "-device", "virtconsole,chardev=con",
              "-serial", "chardev:pl011"]),
    # The Pi's first UART is the PL011, its second the mini UART.
    "raspi3b": (48_000_000,
                ["-M", "raspi3b", "-m", "1G", "-dtb", "PI_DTB",
                 "-append", "console=ttyS1 loglevel=3 con=ttyS1",
                 "-serial", "chardev:pl011", "-serial", "chardev:con"]),
}

# Standard rates and others, below and above what each clock allows.
SWEEP = (40, 50, 300, 1200, 9600, 38400, 57600, 76800, 100000, 115200, 230400, 250000,
         460800, 500000, 921600, 1000000, 1500000, 2000000, 3000000, 4000000)


def pl011_rate(clock, rate):
    """The rate the amba-pl011 driver runs a PL011 at from clock when asked
    for rate, or 0 when it cannot. Its set_termios asks the serial core for
    a rate between 0 and clock / 16 (uart_get_baud_rate keeps the old rate
    for one above), then divides 16 clocks in 64ths: the divisor is
    DIV_ROUND_CLOSEST(clock * 4, rate), whose whole part goes into the
    16-bit integer register IBRD (a larger one does not fit)."""
    if rate > clock // 16:
        return 0
    quot = (clock * 4 + rate // 2) // rate
    if quot >> 6 > 0xFFFF:
        return 0
    return clock * 4 / quot


def made_within_2_percent(clock, rate):
    made = pl011_rate(clock, rate)
    return made > 0 and abs(made - rate) * 50 <= rate


def start_guest(machine, kernel, dtb, initrd, work):
    argv = ["qemu-system-aarch64", "-nodefaults", "-no-user-config", "-display", "none",
            "-kernel", kernel, "-initrd", initrd]
    argv += socket_chardevs(work, (("con", "con"), ("pl011", "pl011")))
    argv += [dtb if a == "PI_DTB" else a for a in MACHINES[machine][1]]
    return Guest(argv, work, lines=("pl011",))


def settings_held(guest):
    out, _ = guest.run(f"stty -F {PORT} -a 2>/dev/null; grep '^0:' /proc/tty/driver/ttyAMA")
    return out


def transfers(guest, checks, name):
    """Sends and receives with and without the code; checks the settings
    and the exclusive hold while a receive holds the port."""
    prog = pattern(3000)
    all256 = bytes(range(256)) * 8
    header = bytes([0x00, 0x80, (0x8000 + 3000) & 0xFF, (0x8000 + 3000) >> 8])
    for command, rate, want in (("vesklo e /data/prog {} -h8000", 115200, hispeed(header + prog)),
                                ("vesklo c /data/all256 {} -b57600", 57600, all256)):
        out, status = guest.run(command.format(PORT))
        got = guest.take("pl011", len(want))
        checks.expect(status == 0 and got == want, f"{name}: {command.split()[1]} at {rate} sends exactly",
                      f"status {status}, {len(got)} of {len(want)} bytes, output {out!r}")

    for command, rate, sent, data in (("d", 115200, hispeed(prog), "/data/prog"),
                                      ("c", 57600, all256, "/data/all256")):
        reset_port(guest, PORT)
        guest.run(f"rm -f /tmp/out; (vesklo {command} {PORT} /tmp/out -b{rate} > /tmp/r.log 2>&1; "
                  "echo \"== received $?\") &")
        wait_raw(guest, PORT)
        if command == "d":
            held = settings_held(guest)
            checks.expect("speed 115200 baud" in held, f"{name}: while held, the PL011 runs at 115200",
                          held)
            for flag in ("cs7", "crtscts", "-ixon", "-ixoff", "-icanon", "-echo", "-opost", "-isig",
                         "-istrip", "-icrnl"):
                checks.expect(flag in held.split(), f"{name}: while held, the PL011 has {flag}", held)
            line0 = held.strip().splitlines()[-1]
            checks.expect("RTS" in line0 and "DTR" in line0, f"{name}: while held, RTS and DTR are raised",
                          line0)
            out, status = guest.run(f"vesklo c /data/prog {PORT}")
            checks.expect(status == 1 and "in use by another program" in out,
                          f"{name}: a second run on the held PL011 is refused", out)
        guest.send("pl011", sent)
        size = len(sent) // 2 if command == "d" else len(sent)
        status, quiet, control = ended_beside_control(guest, "received", time.monotonic(), 2,
                                                      holds_bytes("/tmp/out", size))
        same, _ = guest.run(f"cmp /tmp/out {data} && echo SAME")
        checks.expect(status == 0 and "SAME" in same, f"{name}: {command} at {rate} receives exactly", same)
        quiet_end_check(checks, f"{name}: the {command} receive", quiet, control)


def sweep(guest, checks, name, clock, tool="vesklo"):
    """Asks the PL011 for each rate of SWEEP through tool; a rate the PL011
    makes within 2% must work, any other must be refused."""
    rates = " ".join(str(r) for r in SWEEP)
    out, _ = guest.run(": > /tmp/empty; for r in " + rates + "; do "
                       f"{tool} c /tmp/empty {PORT} -b$r > /dev/null 2> /tmp/e; "
                       "echo \"rate $r $? $(cat /tmp/e)\"; done", timeout=120)
    verdicts = {int(m.group(1)): (m.group(2) == "0", m.group(3))
                for m in re.finditer(r"rate (\d+) (\d+) ?(.*?)\r?\n", out)}
    for rate in SWEEP:
        made = pl011_rate(clock, rate)
        accepted, said = verdicts.get(rate, (None, "no answer"))
        if made_within_2_percent(clock, rate):
            checks.expect(accepted is True, f"{name}: {rate} baud, made as {made:.0f}, is accepted", said)
        else:
            checks.expect(accepted is False and f"the port refused {rate} baud" in said,
                          f"{name}: {rate} baud, which the PL011 cannot make, is refused", said)


def armhf_runs(guest, checks, name, clock):
    """The armhf build, through the kernel's 32-bit compat layer, where
    qemu-user cannot take it: rates outside the Bxxx table (termios2)."""
    all256 = bytes(range(256)) * 8
    out, status = guest.run(f"vesklo-armhf c /data/all256 {PORT} -b250000")
    got = guest.take("pl011", len(all256))
    checks.expect(status == 0 and got == all256, f"{name}: armhf: c at 250000 sends exactly",
                  f"status {status}, {len(got)} of {len(all256)} bytes, output {out!r}")
    sweep(guest, checks, name + ": armhf", clock, "vesklo-armhf")


def main():
    kernel, dtb, initrd, work = sys.argv[1:5]
    machines = sys.argv[5:] or list(MACHINES)
    checks = Checks()
    for name in machines:
        started = time.monotonic()
        guest = start_guest(name, kernel, dtb, initrd, work)
        print(f"{name}: booted in {time.monotonic() - started:.1f} s")
        try:
            clock = MACHINES[name][0]
            transfers(guest, checks, name)
            out, status = guest.run("vesklo --list")
            listed = [line.strip() for line in out.splitlines() if line.startswith("/dev/")]
            checks.expect(status == 0 and "/dev/ttyAMA0  PL011  driver uart-pl011" in listed
                          and not any(line.startswith("/dev/ttyS0 ") for line in listed),
                          f"{name}: --list shows the PL011, not the empty 8250 slots", out)
            out, _ = guest.run("cat /sys/class/tty/ttyAMA0/uartclk")
            checks.expect(out.strip() == str(clock), f"{name}: the PL011's clock is {clock} Hz", out)
            sweep(guest, checks, name, clock)
            if guest.run("test -x /bin/vesklo-armhf")[1] == 0:
                armhf_runs(guest, checks, name, clock)
            else:
                print(f"{name}: no armhf build; its runs are left out")
        except RuntimeError as e:
            checks.expect(False, f"{name}: the guest answered", str(e))
        finally:
            guest.stop()
        print(f"{name}: took {time.monotonic() - started:.1f} s")
    checks.finish()


if __name__ == "__main__":
    main()
