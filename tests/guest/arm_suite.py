#!/usr/bin/env python3
"""The PL011, the UART of ARM boards and the Raspberry Pi's own, driven by
Linux's amba-pl011 driver in two guests under QEMU: the arm64 'virt'
machine (the PL011 from a 24 MHz clock, the shell on a virtio console) and
the Raspberry Pi 3B (48 MHz, the shell on the mini UART). The arm64 build
runs there, and the armhf one through the kernel's 32-bit compat layer.
The PL011's host end is a unix socket of the harness.

    arm_suite.py WORKDIR IMAGE...     (IMAGE also holds rpi3b.dtb)"""
import os

from guest_lib import DATA, SENDS, Boot, Row, SocketFar, main

# The kernel's console is the shell's channel (loglevel=3 keeps all but its
# gravest messages off it), never the PL011: messages there would reach a
# receiver as data. con= tells init the channel. The Pi's first UART is the
# PL011, its second the mini UART.
MACHINES = {
    "virt": (24_000_000, lambda image: [
        "-M", "virt", "-cpu", "cortex-a57", "-m", "256", "-append", "console=hvc0 loglevel=3",
        "-device", "virtio-serial-device", "-device", "virtconsole,chardev=con", "-serial", "chardev:pl011"]),
    "raspi3b": (48_000_000, lambda image: [
        "-M", "raspi3b", "-m", "1G", "-dtb", os.path.join(image, "rpi3b.dtb"),
        "-append", "console=ttyS1 loglevel=3 con=ttyS1", "-serial", "chardev:pl011", "-serial", "chardev:con"]),
}


def pl011_rate(clock, rate, had):
    """(made, told): the rate the amba-pl011 driver runs a PL011 at from
    clock when asked for rate (0 when it cannot), and the rate the port
    then runs at. Its set_termios asks the serial core for a rate between
    0 and clock / 16 (uart_get_baud_rate keeps the old rate for one above),
    then divides 16 clocks in 64ths: the divisor is DIV_ROUND_CLOSEST(clock
    * 4, rate), whose whole part goes into the 16-bit integer register IBRD,
    which keeps the low 16 bits of a larger one."""
    if rate > clock // 16:
        return 0, had
    quot = (clock * 4 + rate // 2) // rate
    runs = round(clock * 4 / ((quot >> 6 & 0xFFFF) << 6 | quot & 63))
    return (0 if quot >> 6 > 0xFFFF else runs), runs


def pl011_row(name, **fields):
    clock, argv = MACHINES[name]

    def clock_check(h):
        out, _ = h.run("cat /sys/class/tty/ttyAMA0/uartclk")
        h.check(out.strip() == str(clock), f"the PL011's clock is {clock} Hz", out)

    return Row(
        name=name, dev="/dev/ttyAMA0", far=SocketFar("pl011"),
        boot=Boot(name, lambda kernel, initrd, work: [
            "qemu-system-aarch64", "-nodefaults", "-no-user-config", "-display", "none", "-kernel", kernel,
            "-initrd", initrd] + argv(os.path.dirname(kernel)), lines=("pl011",)),
        lines=lambda h: {k: k in h.run("grep '^0:' /proc/tty/driver/ttyAMA")[0] for k in ("DTR", "RTS")},
        lines_how="/proc/tty/driver/ttyAMA", model=lambda rate, had: pl011_rate(clock, rate, had) + (None,),
        # Standard rates and others, below and above what each clock allows.
        rates=(40, 50, 300, 1200, 9600, 38400, 57600, 76800, 100000, 115200, 230400, 250000, 460800, 500000,
               921600, 1000000, 1500000, 2000000, 3000000, 4000000), sweep_file="empty",
        listed=(r"/dev/ttyAMA0  PL011  driver uart-pl011",), unlisted="/dev/ttyS0 ",
        # The armhf build takes rates outside the Bxxx table with termios2,
        # where qemu-user cannot run it.
        tools=("vesklo", "vesklo-armhf"),
        sends=SENDS + (("vesklo-armhf", "c /data/all256 {port} -b250000", DATA["all256"], 8),),
        extras=(clock_check,), **fields)


# The Pi's guest, the slowest to emulate, is left out of the default run for
# time (make test-all runs it).
ROWS = [pl011_row("virt", timing=True), pl011_row("raspi3b", full_only=True)]

if __name__ == "__main__":
    main(ROWS)
