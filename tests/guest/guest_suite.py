#!/usr/bin/env python3
"""The 16550 UARTs of the kernel's 8250 driver: COM1 and COM2 of a guest
under QEMU (/dev/ttyS0, /dev/ttyS1), whose host ends are unix sockets of
the harness, never a port of the host; a third 8250 slot has no UART.

    guest_suite.py WORKDIR IMAGE..."""
from guest_lib import RECEIVES, Boot, RelayFar, Row, SocketFar, main

# -display none, not -nographic: with -nographic the firmware prints a
# banner on COM1, which would reach a receiver as data.
BOOT = Boot("16550", lambda kernel, initrd, work: [
    "qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none", "-m", "256",
    "-kernel", kernel, "-initrd", initrd, "-append", "quiet 8250.nr_uarts=3",
    "-device", "virtio-serial-pci", "-device", "virtconsole,chardev=con",
    "-serial", "chardev:com1", "-serial", "chardev:com2"], lines=("com1", "com2"))


def uart_16550(rate, had):
    """The rate the 8250 driver runs a 16550 (115200 baud over a divisor)
    at: above 115200 it keeps the old rate; the nearest whole divisor goes
    into the 16-bit latches, which keep its low 16 bits (1 baud runs at 2)."""
    made = had if rate > 115200 else 115200 // max(1, (2 * 115200 + rate) // (2 * rate) & 0xFFFF)
    return made, made, None


def modem_lines(h):
    # The serial core's table is named serial_8250 from Linux 7.x on.
    line = h.run("cat /proc/tty/driver/serial /proc/tty/driver/serial_8250 2>/dev/null | grep '^0:'")[0]
    return {"DTR": "DTR" in line, "RTS": "RTS" in line}


ROWS = [
    Row(name="16550", boot=BOOT, dev="/dev/ttyS0", port="COM1", far=SocketFar("com1"), lines=modem_lines,
        lines_how="/proc/tty/driver/serial or serial_8250", timing=True, model=uart_16550, sweep_file="prog",
        rates=(76800, 100000, 38400, 57600, 1, 230400),
        listed=(r"/dev/ttyS0  COM1  16550A  driver .*", r"/dev/ttyS1  COM2  16550A  driver .*"), unlisted="/dev/"),
    # COM1 into COM2 inside the guest, the host joining them like a cable.
    Row(name="16550 COM2 from COM1", boot=BOOT, dev="/dev/ttyS1", port="COM2", far=RelayFar("COM1"), sends=(), timing=True,
        receives=(RECEIVES[0]._replace(settings=False), RECEIVES[2])),
]

if __name__ == "__main__":
    main(ROWS)
