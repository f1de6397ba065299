#!/usr/bin/env python3
"""QEMU's FTDI FT232 adapter (usb-serial on a qemu-xhci controller), run by
the guest kernel's ftdi_sio as /dev/ttyUSB0; its host end is a unix socket
of the harness. QMP pulls the adapter out (device_del) and plugs it back
(device_add); closing the adapter's socket pulls it out like a cable, and
connecting again plugs it back. QEMU's trace of the adapter's control
requests tells what the driver gave the chip.

    usb_suite.py WORKDIR IMAGE..."""
import fcntl
import json
import os
import re
import select
import socket
import struct
import termios
import time

from guest_lib import FIRST, RECEIVING, WRITE, Boot, Guest, Phase, Row, SocketFar, main, socket_path

# The send that an unplug cuts: whole chunks of the tool's 2048 bytes.
CHUNK = 2048
BIG = 128 * CHUNK


class Qmp:
    """QEMU's machine protocol on a unix socket: commands, their answers,
    and the events that come between."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(path)
        self.pending = b""
        self.events = []
        self.next_message(5)
        self.query("qmp_capabilities")

    def next_message(self, timeout):
        """The next message, or None when none came within timeout."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            data = self.sock.recv(4096)
            if not data:
                raise RuntimeError("QMP closed")
            self.pending += data
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line)

    def send(self, name, **arguments):
        self.sock.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")

    def answer(self, timeout):
        """The answer to the last command sent, or None when none came
        within timeout; events are kept."""
        deadline = time.monotonic() + timeout
        while True:
            message = self.next_message(max(0, deadline - time.monotonic()))
            if message is None or "event" not in message:
                if message and "error" in message:
                    raise RuntimeError(f"QMP: {message['error']}")
                return message
            self.events.append(message["event"])

    def query(self, name, **arguments):
        """Runs a command; returns what it returned."""
        self.send(name, **arguments)
        answer = self.answer(10)
        if answer is None:
            raise RuntimeError(f"QMP gave no answer to {name}")
        return answer["return"]


class AdapterGuest(Guest):
    """The guest with QMP and the trace of the adapter's requests, whose
    text is kept whole; each reader keeps where it last looked."""

    def __init__(self, argv, work, lines):
        super().__init__(argv, work, lines)
        self.qmp = Qmp(socket_path(work, "qmp"))
        self.trace_path, self.trace, self.looked = os.path.join(work, "usb-trace.log"), "", {}

    def trace_since(self, reader):
        with open(self.trace_path) as f:
            f.seek(len(self.trace))
            self.trace += f.read()
        start, self.looked[reader] = self.looked.get(reader, 0), len(self.trace)
        return self.trace[start:]


def boot_argv(kernel, initrd, work):
    for p in (socket_path(work, "qmp"), os.path.join(work, "usb-trace.log")):
        if os.path.exists(p):
            os.unlink(p)
    return ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none", "-m", "256",
            "-kernel", kernel, "-initrd", initrd, "-append", "quiet",
            "-device", "virtio-serial-pci", "-device", "virtconsole,chardev=con",
            "-device", "qemu-xhci,id=xhci", "-device", "usb-serial,chardev=usb,id=ftdi,bus=xhci.0",
            "-qmp", f"unix:{socket_path(work, 'qmp')},server=on,wait=off",
            "-trace", "usb_serial_set_baud", "-trace", "usb_serial_handle_control",
            "-D", os.path.join(work, "usb-trace.log")]


def chip_state(h):
    """DTR, RTS (request 0x4001: a mask in bits 8-9, the levels in bits 0-1)
    and the data bits (0x4004, bits 0-7) as the driver's requests left them."""
    h.guest.trace_since("state")
    state = {}
    for request, v in re.findall(r"usb_serial_handle_control .*control 0x(4001|4004), value 0x([0-9a-f]+)",
                                 h.guest.trace):
        value = int(v, 16)
        if request == "4004":
            state["bits"] = value & 0xFF
        for bit, name in ((1, "DTR"), (2, "RTS")):
            if request == "4001" and value & (bit << 8):
                state[name] = bool(value & bit)
    return state


def rates_given(h):
    return [(int(r), int(r)) for r in re.findall(r"usb_serial_set_baud .*baud rate (\d+)", h.guest.trace_since("rates"))]


def ftdi_model(rate, had):
    """The rate QEMU's FT232 runs at once ftdi_sio (kernel 6.1) is asked for
    rate: the divisor word the driver sends (ftdi_232bm_baud_base_to_divisor
    from 48 MHz, eighths in bits 14-16; above 3 MBd the driver falls back to
    9600), read as QEMU reads it: 24 MHz over the divisor in eighths, the
    words 0 and 1 being the divisors 1 and 1.5. An FT232B/R takes any
    divisor from 2 up, 1 (3 MBd) and 1.5 (2 MBd), none else below 2: a
    refusal then names no rate."""
    rate = rate if rate <= 3000000 else 9600
    divisor3 = (48000000 + rate) // (2 * rate)
    word = divisor3 >> 3 | (0, 3, 2, 4, 1, 5, 6, 7)[divisor3 & 7] << 14
    word = {1: 0, 0x4001: 1}.get(word, word)
    sub = (0, 4, 2, 1, 3, 5, 6, 7)[(word & 0xC000) >> 14 | (word >> 16 & 1) << 2]
    div = word & 0x3FFF
    sub, div = (4 if div == 1 and sub == 0 else sub), (1 if div == 0 and sub == 0 else div)
    chip = 24000000 // (8 * div + sub)
    takes = round(24000000 / chip) in (8, 12) or round(24000000 / chip) >= 16
    return (chip, chip, chip) if takes else (0, 0, chip)


# ---- holding a send in the guest: a socket that reads nothing fills, and
# QEMU, stuck writing into it with its global lock held, stops the guest.

def unread(g):
    """The bytes waiting in the adapter's socket."""
    return struct.unpack("i", fcntl.ioctl(g.sock["usb"].fileno(), termios.FIONREAD, b"\0\0\0\0"))[0]


def wait_stuck(g, timeout=10):
    """Waits until the bytes in the socket stop growing; returns their count."""
    deadline, last, steady = time.monotonic() + timeout, -1, 0
    while time.monotonic() < deadline:
        time.sleep(0.05)
        now = unread(g)
        steady, last = (steady + 1 if now == last else 0), now
        if steady == 8:
            return now
    raise RuntimeError("the send never filled the adapter's socket")


def read_exactly(g, count):
    s = g.sock["usb"]
    with g.reading:
        while count > 0:
            select.select([s], [], [], 5)
            data = g.recv("usb", s, min(65536, count))
            if not data:
                raise RuntimeError("the adapter's socket closed")
            count -= len(data)


def pause_guest(g):
    """Stops the guest's processor. QMP's answer waits for QEMU, which may be
    stuck writing into the adapter's full socket: the socket is then read 64
    bytes at a time until it comes."""
    g.qmp.send("stop")
    deadline = time.monotonic() + 10
    while g.qmp.answer(0.05) is None:
        if time.monotonic() > deadline:
            raise RuntimeError("QMP gave no answer to stop")
        with g.reading:
            if select.select([g.sock["usb"]], [], [], 0)[0]:
                g.recv("usb", g.sock["usb"], 64)


def reading(h, on):
    with h.guest.reading:
        (h.guest.paused.discard if on else h.guest.paused.add)("usb")


def send_held(in_drain):
    """A send of BIG bytes with the socket read no more, held with the guest
    stopped: mid-send, with half the send left in the guest; in the drain,
    once the tool has handed the driver its last chunk (fewer than CHUNK
    bytes are left in the guest). The stop matters: QEMU's adapter takes
    writes into a closed socket as sent until QEMU notices the close."""
    def prepare(h, tag):
        # What an earlier run left on its way is read first.
        while h.guest.take("usb", 1, 0.1):
            pass
        reading(h, False)
        h.sent_before = h.guest.read_count["usb"]

    def hold(h, tag):
        g = h.guest
        room = wait_stuck(g)
        # Lets all through but the socket's room and a margin, which stay in
        # the guest once the socket is full again. Twice in the drain: first
        # with a wide margin, so that a room measured short while QEMU was
        # still filling the socket is measured again, then with less than a
        # chunk.
        for margin in (4 * CHUNK, CHUNK - 256) if in_drain else (BIG // 2,):
            read_exactly(g, max(0, BIG - room - margin - (g.read_count["usb"] - h.sent_before)))
            room = wait_stuck(g)
        pause_guest(g)
        left = BIG - (g.read_count["usb"] - h.sent_before) - unread(g)
        held = 0 < left < CHUNK if in_drain else left > 4 * CHUNK
        if not held:
            g.qmp.query("cont")
        return held or None, f"({left} bytes left in the guest)"
    return dict(prepare=prepare, hold=hold)


def way(how):
    """Pulls the adapter out, by QMP or by closing its socket, with the
    guest stopped meanwhile, and plugs it back."""
    def unplug(h):
        g = h.guest
        if g.qmp.query("query-status")["running"]:
            pause_guest(g)
        if how == "cable":
            with g.reading:
                s, g.sock["usb"] = g.sock["usb"], None
                s.shutdown(socket.SHUT_RDWR)
                s.close()
            deadline = time.monotonic() + 10
            while not any(c["label"] == "usb" and c["filename"].startswith("disconnected")
                          for c in g.qmp.query("query-chardev")):
                if time.monotonic() > deadline:
                    raise RuntimeError("QEMU did not notice the adapter's socket closing")
                time.sleep(0.02)
        else:
            g.qmp.query("device_del", id="ftdi")
        g.qmp.query("cont")
        reading(h, True)
        # The guest's own clock, read by a command started now: what the
        # load adds to the guest's answers is not the run's.
        return h.up()

    def plug(h):
        g = h.guest
        if how == "cable":
            g.connect("usb")
            g.take("usb", 0, 0)
        else:
            deadline = time.monotonic() + 10
            while "DEVICE_DELETED" not in g.qmp.events and time.monotonic() < deadline:
                g.qmp.answer(0.1)
            g.qmp.events.clear()
            g.qmp.query("device_add", driver="usb-serial", chardev="usb", id="ftdi", bus="xhci.0")
    return how, unplug, plug


BY_ID = "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_1-0000:00:03.0-1-if00-port0"
ROWS = [Row(
    name="ftdi_sio", dev="/dev/ttyUSB0", far=SocketFar("usb"), lines=chip_state,
    lines_how="the chip's requests in QEMU's trace", given=rates_given, model=ftdi_model, told_slack=1,
    boot=Boot("ftdi_sio", boot_argv, lines=("usb",), guest=AdapterGuest, setup=("upto 10 '[ -e /dev/ttyUSB0 ]'",)),
    # Among the rates, the FT232B's limits: 183 baud and below overflow the
    # driver's divisor; above 1.5 MBd only 2 and 3 MBd.
    rates=(50, 183, 184, 300, 76800, 115200, 250000, 921600, 1500000, 1600000, 2000000, 2400000, 3000000,
           3500000), sweep_file="all256",
    # The stable name that udev would make (the guest has no udev).
    list_setup=f"mkdir -p /dev/serial/by-id && ln -sf ../../ttyUSB0 {BY_ID}",
    listed=(rf"/dev/ttyUSB0  USB 0403:6001  .*  driver ftdi_sio  {BY_ID}",),
    ways=(way("device_del"), way("cable")), release=lambda h: reading(h, True), files=(BIG,),
    phases=(FIRST, RECEIVING,
            Phase("mid-send", f"vesklo c /tmp/r{BIG} {{port}}", message=WRITE, **send_held(False)),
            Phase("in the drain at close", f"vesklo c /tmp/r{BIG} {{port}}", message=WRITE, **send_held(True))))]

if __name__ == "__main__":
    main(ROWS)
