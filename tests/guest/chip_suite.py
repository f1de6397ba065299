#!/usr/bin/env python3
"""The tool on the USB serial chips that cables carry: a Linux guest under
QEMU where chip_gadget plays a CH340 (ch341), a PL2303TA (pl2303) and a
CP2102 (cp210x), one after the other, to the guest kernel's own drivers
through FunctionFS on dummy_hcd (full speed). The program records what
each driver programs and plays the wire at the programmed rate; which rate
a set of registers makes is judged here, by a model written from each
driver's arithmetic and the chip's data sheet.

    chip_suite.py KERNEL INITRD WORKDIR

Ends with 'N passed, M failed'; exits 1 when any check failed."""
import hashlib
import os
import re
import sys
import threading
import time

from guest_lib import Checks, Guest, hispeed, pattern, socket_chardevs, wait_device, ended, outputs

ADAPTER = "/dev/ttyUSB0"
CTL = "/tmp/chip.ctl"
HUNG_UP = "; the port hung up (unplugged, or the line dropped)"
NO_HANDSHAKE = "runs without RTS/CTS handshake"
# The whole suite's bound: a guest that stops answering is ended.
WATCHDOG_S = 240


def close_enough(asked, made):
    return abs(made - asked) * 50 <= asked


def mask7(data):
    return bytes(b & 0x7F for b in data)


# ---- The model: the registers each driver programs for a rate (from the
# driver's arithmetic, Linux 6.1) and the rate the chip makes from them
# (from the data sheet). The chip player never judges a rate.

def ch341_registers(rate):
    """(prescaler, divisor register) as ch341_get_divisor works them out:
    the rate clamped to 46..3000000, the fastest base clock whose divisor
    stays below 512, the nearer of two divisors, an even divisor halved."""
    clk = 48000000

    def clk_div(ps, fact):
        return 1 << (12 - 3 * ps - fact)
    rate = min(max(rate, -(-clk // (clk_div(0, 0) * 256))), clk // (clk_div(3, 0) * 2))
    ps = 3
    while ps > 0 and rate <= clk // (clk_div(ps, 1) * 512):
        ps -= 1
    fact, c = 1, clk_div(ps, 1)
    div = clk // (c * rate)
    if div < 9 or div > 255:
        div, c, fact = div // 2, c * 2, 0
    if 16 * clk // (c * div) - 16 * rate >= 16 * rate - 16 * clk // (c * (div + 1)):
        div += 1
    if fact == 1 and div % 2 == 0:
        div, fact = div // 2, 0
    return fact << 2 | ps, 0x100 - div


def ch341_made(prescaler, divisor):
    """The CH340's rate: 48 MHz / (2^(12 - 3 ps - fact) * (256 - divisor))."""
    d = 0x100 - divisor if divisor else 256
    q = (1 << (12 - 3 * (prescaler & 3) - (prescaler >> 2 & 1))) * d
    return (48000000 + q // 2) // q


PL2303_DIRECT = (75, 150, 300, 600, 1200, 1800, 2400, 3600, 4800, 7200, 9600, 14400, 19200, 28800,
                 38400, 57600, 115200, 230400, 460800, 614400, 921600, 1228800, 2457600, 3000000,
                 6000000)


def pl2303_ta_coding(rate):
    """The rate bytes of the line coding that pl2303 sends a TA: the rate
    clipped to 6 MBd, sent as it is when it is the table's nearest, else
    12 MHz * 32 / (mantissa * 2^exponent), mantissa below 2048."""
    rate = min(rate, 6000000)
    i = next((i for i, d in enumerate(PL2303_DIRECT) if d > rate), len(PL2303_DIRECT))
    if i == len(PL2303_DIRECT):
        nearest = PL2303_DIRECT[-1]
    elif i > 0 and PL2303_DIRECT[i] - rate > rate - PL2303_DIRECT[i - 1]:
        nearest = PL2303_DIRECT[i - 1]
    else:
        nearest = PL2303_DIRECT[i]
    if nearest == rate:
        return rate.to_bytes(4, "little")
    m, e = max(1, 384000000 // rate), 0
    while m >= 2048:
        if e == 15:
            m = 2047
            break
        m, e = m >> 1, e + 1
    return bytes([m & 0xFF, (e & ~1) << 4 | m >> 8, e & 1, 0x80])


def pl2303_ta_made(coding):
    """The TA's rate from the line coding: a known rate sent as it is (an
    unknown one runs at 9600), or the divisor marked by 0x80 in byte 3."""
    if coding[3] != 0x80:
        rate = int.from_bytes(coding[:4], "little")
        return rate if rate in PL2303_DIRECT else 9600
    m, e = coding[0] | (coding[1] & 7) << 8, coding[1] >> 4 | coding[2] & 1
    return (384000000 + (m << e) // 2) // (m << e)


def cp2102_made(rate):
    """CP2102: cp210x fits the rate to the part (its AN205 table) and sends
    the result, which the part makes; the suite takes it as sent."""
    return rate


class Chip:
    """What the suite knows of a chip: its driver, ids, the requests that
    carry its rate, data bits, modem lines and flow control, and its model."""

    def __init__(self, name, driver, ids, full):
        self.name, self.driver, self.ids, self.full = name, driver, ids, full

    def all_programmed(self, requests):
        """Every rate programming among requests, in order: (its bytes in
        hex, the model's rate for them)."""
        found = []
        for typ, req, value, index, data in requests:
            if self.name == "ch341" and req == 0x9A and value == 0x1312:
                found.append((f"{index & 0xFF:02x} {index >> 8:02x}", ch341_made(index & 0xFF, index >> 8)))
            if self.name == "pl2303" and typ == 0x21 and req == 0x20 and len(data) == 7:
                found.append((data[:4].hex(), pl2303_ta_made(data)))
            if self.name == "cp210x" and typ == 0x41 and req == 0x1E and len(data) == 4:
                found.append((data.hex(), cp2102_made(int.from_bytes(data, "little"))))
        return found

    def programmed(self, requests):
        """The last rate programming among requests: (its bytes in hex, the
        model's rate for them), or None."""
        found = self.all_programmed(requests)
        return found[-1] if found else None

    def made_of(self, regs):
        """The model's rate for what expected() says the driver programs."""
        if self.name == "ch341":
            pre, div = (int(x, 16) for x in regs.split())
            return ch341_made(pre, div)
        return pl2303_ta_made(bytes.fromhex(regs))

    def expected(self, rate):
        """What the driver should program for rate (hex, as programmed())."""
        if self.name == "ch341":
            pre, div = ch341_registers(rate)
            return f"{pre | 0x80:02x} {div:02x}"   # bit 7: the chip's version 0x30
        if self.name == "pl2303":
            return pl2303_ta_coding(rate).hex()
        return None

    def data_bits(self, requests):
        for typ, req, value, index, data in reversed(requests):
            if self.name == "ch341" and req == 0x9A and value == 0x2518:
                return 5 + (index & 3)
            if self.name == "pl2303" and typ == 0x21 and req == 0x20 and len(data) == 7:
                return data[6]
        return None

    def modem_lines(self, requests):
        """DTR and RTS as the last modem-control request left them."""
        for typ, req, value, index, data in reversed(requests):
            if self.name == "ch341" and req == 0xA4:
                return {"DTR": not value & 0x20, "RTS": not value & 0x40}
            if self.name == "pl2303" and typ == 0x21 and req == 0x22:
                return {"DTR": bool(value & 1), "RTS": bool(value & 2)}
            if self.name == "cp210x" and typ == 0x41 and req == 0x07 and value & 0x100:
                return {"DTR": bool(value & 1), "RTS": bool(value & 2)}
        return None

    def dtr_drops(self, events):
        """The times at which a request dropped DTR."""
        out = []
        for t, typ, req, value, index, data in events:
            if self.name == "ch341" and req == 0xA4 and value & 0x20:
                out.append(t)
        return out


CHIPS = (
    Chip("ch341", "ch341-uart", "1a86:7523", True),
    Chip("pl2303", "pl2303", "067b:2303", True),
    Chip("cp210x", "cp210x", "10c4:ea60", False),
)
# The rates tried on each chip, among them each one's limits.
RATES = {
    "ch341": (40, 45, 46, 9600, 115200, 921600, 2000000, 2500000, 3000000, 3100000, 4000000, 12000000),
    "pl2303": (50, 110, 115200, 123457, 250001, 3500000, 6000000, 7000000, 12000000),
    "cp210x": (115200, 120000),
}


class Player:
    """chip_gadget in the guest, its log and its wire file, read from where
    the last look ended."""

    def __init__(self, guest, chip):
        self.guest, self.chip = guest, chip
        self.log, self.wire = f"/tmp/{chip.name}.log", f"/tmp/{chip.name}.wire"
        self.seen = 0
        guest.run(f"rm -f {CTL}; : > {self.log}; : > {self.wire}")
        guest.run(f"chip_gadget {chip.name} {self.log} {self.wire} {CTL} > /tmp/gadget.err 2>&1 &")
        wait_adapter(guest, True)

    def command(self, text):
        self.guest.run(f"echo '{text}' > {CTL}")

    def lines(self):
        """The log's lines since the last look."""
        text, _ = self.guest.run(f"tail -c +{self.seen + 1} {self.log}")
        text = text.replace("\r\n", "\n")
        self.seen += len(text.encode())
        return [l.split() for l in text.splitlines() if l.strip()]

    @staticmethod
    def requests(lines):
        """The control requests among lines: (time, type, request, value,
        index, data)."""
        out = []
        for l in lines:
            if len(l) >= 7 and l[1] == "req":
                data = bytes.fromhex(l[7]) if len(l) > 7 and not l[7].endswith("stall") else b""
                out.append((float(l[0]), int(l[2], 16), int(l[3], 16), int(l[4], 16), int(l[5], 16), data))
        return out

    def wire_size(self):
        text, _ = self.guest.run(f"wc -c < {self.wire}")
        return int(text.split()[0])

    def wire_digest(self, start):
        """The MD5 of the wire from byte start on, and its length."""
        text, _ = self.guest.run(f"tail -c +{start + 1} {self.wire} | md5sum; "
                                 f"tail -c +{start + 1} {self.wire} | wc -c")
        digest, size = text.split()[0], int(text.split()[-1])
        return digest, size

    def quit(self):
        self.command("quit")
        wait_adapter(self.guest, False)


def reqs(lines):
    return [r[1:] for r in Player.requests(lines)]


def wait_adapter(guest, present):
    wait_device(guest, ADAPTER, present)


def background(guest, command, tag):
    """Starts command in the guest: its outputs to /tmp/TAG.out and .err,
    its pid to /tmp/TAG.pid, the uptime at its end to /tmp/TAG.end, and
    '== TAG STATUS' to the console when it ends."""
    guest.run(f"({command} > /tmp/{tag}.out 2> /tmp/{tag}.err & echo $! > /tmp/{tag}.pid; wait $!; "
              f"s=$?; cut -d' ' -f1 /proc/uptime > /tmp/{tag}.end; echo \"== {tag} $s\") &")


def uptime_of(guest, path):
    text, _ = guest.run(f"cat {path}")
    return float(text.split()[0])


def wait_held(player, timeout=5):
    """Waits until a run has raised DTR on the chip; returns the log lines
    meanwhile."""
    lines = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        lines += player.lines()
        if (player.chip.modem_lines(reqs(lines)) or {}).get("DTR"):
            return lines
        time.sleep(0.05)
    raise RuntimeError("the run never raised DTR on the chip")


def loadm_header(data):
    """The LOADM header of -h8000: the start and end addresses, low byte
    first."""
    return bytes([0x00, 0x80, (0x8000 + len(data)) & 0xFF, (0x8000 + len(data)) >> 8])


def check_sends(guest, checks, player, prog):
    """Sends at 115200 (7 data bits: bit 7 dropped on the wire) and at 57600
    (8 data bits), exact on the wire."""
    chip = player.chip.name
    header = loadm_header(prog)
    cases = [(f"e /data/prog {ADAPTER} -h8000", mask7(hispeed(header + prog)), "e -h8000 at 115200, 7 bits"),
             (f"c /data/prog {ADAPTER}", mask7(prog), "c at 115200, 7 bits"),
             (f"c /data/all256 {ADAPTER} -b57600", bytes(range(256)) * 8, "c of all 256 values at 57600, 8 bits"),
             (f"e /data/prog {ADAPTER} -b57600", hispeed(prog), "e at 57600"),
             (f"c /data/prog {ADAPTER} -b57600 -h8000", loadm_header(prog) + prog, "c -h8000 at 57600")]
    if not player.chip.full:
        cases = cases[2:3]
    for command, want, what in cases:
        start = player.wire_size()
        out, status = guest.run(f"vesklo {command}")
        digest, size = player.wire_digest(start)
        checks.expect(status == 0 and "finish!" in out and digest == hashlib.md5(want).hexdigest(),
                      f"{chip}: {what}: exact on the wire", f"status {status}, {size} of {len(want)} bytes, {out!r}")


def check_list(guest, checks, chip):
    out, status = guest.run("vesklo --list")
    line = next((l for l in out.splitlines() if l.startswith(ADAPTER + "  ")), "")
    print(f"vesklo --list ({chip.name}): {line}")
    checks.expect(status == 0 and f"  USB {chip.ids}  " in line and f"  driver {chip.driver}" in line,
                  f"{chip.name}: --list shows the chip's ids and its driver {chip.driver}", out)


def receive(guest, checks, player, command, send_file, expected_file, settings=False):
    """A receive of send_file played on the wire; the file it writes must
    be expected_file, and it must end 2 s after the last byte (at most the
    control's excess plus 0.5 s later)."""
    chip = player.chip
    player.lines()
    background(guest, command, "rx")
    lines = wait_held(player)
    if settings:
        held, _ = guest.run(f"stty -F {ADAPTER} -a")
        flags = held.split()
        checks.expect("speed 115200 baud" in held and all(
            f in flags for f in ("cs7", "crtscts", "-ixon", "-ixoff", "-icanon", "-echo", "-opost", "-isig")),
            f"{chip.name}: while held, termios shows 115200, cs7, crtscts, raw", held)
        r = reqs(lines + player.lines())
        checks.expect(chip.data_bits(r) == 7 and chip.modem_lines(r) == {"DTR": True, "RTS": True},
                      f"{chip.name}: while held, the driver programmed 7 data bits and raised DTR and RTS",
                      f"{chip.data_bits(r)} bits, {chip.modem_lines(r)}")
    # The control, a timed 'sleep 2', runs beside the receive.
    guest.run(f"echo 'send {send_file}' > {CTL}; (a=$(cut -d' ' -f1 /proc/uptime); sleep 2; "
              "echo $a $(cut -d' ' -f1 /proc/uptime) > /tmp/control) &")
    status, _ = ended(guest, "rx")
    end = uptime_of(guest, "/tmp/rx.end")
    done = [l for l in player.lines() if len(l) > 1 and l[1] == "rxdone"]
    last = float(done[-1][0]) if done else 0
    control, _ = guest.run("cat /tmp/control")
    a, b = (float(x) for x in control.split()[:2])
    same, _ = guest.run(f"cmp /tmp/rx.dat {expected_file} && echo SAME")
    checks.expect(status == 0 and "SAME" in same, f"{chip.name}: {command.split()[1]} receives exactly "
                  f"({command.split()[-1]})", same + "".join(outputs(guest, "rx")))
    quiet, excess = end - last, (b - a) - 2
    checks.expect(2.0 <= quiet <= 2.0 + max(excess, 0) + 0.5,
                  f"{chip.name}: the receive ends {quiet:.2f} s after the last byte "
                  f"(control's excess {excess:.2f} s)")


def check_rates(guest, checks, player, table):
    """Each rate is made exactly when the chip would make it within 2%, and
    a refusal names the rate the chip would run at. That rate comes from
    the model of what the driver programs (ch341, pl2303: checked against
    what the driver programmed wherever a rate reaches the chip; one that
    the chip's known rules refuse reaches it not at all), or, for the
    cp210x, whose driver fits the rate to the part and reports it, from
    what the driver programmed (a refusal then puts the old rate back)."""
    chip = player.chip
    guest.run(f"vesklo c /tmp/one {ADAPTER} -b9600")
    had = chip.programmed(reqs(player.lines()))
    for rate in RATES[chip.name]:
        player.lines()
        out, status = guest.run(f"vesklo c /tmp/one {ADAPTER} -b{rate} 2>&1")
        given = chip.all_programmed(reqs(player.lines()))
        want = chip.expected(rate)
        asked = [g for g in given if g != had]
        regs, made = (want, chip.made_of(want)) if want is not None else asked[-1] if asked else ("-", 0)
        said = re.search(r"the port refused (\d+) baud(?: \(it runs at (\d+)\))?", out)
        told = int(said.group(2)) if said and said.group(2) else 0
        answer = "made" if status == 0 else said.group(0) if said else out.strip()
        table.append((chip.name, rate, regs, made, answer))
        if close_enough(rate, made):
            ok = status == 0 and "finish!" in out and (want is None or (regs, made) in given)
            had = (regs, made) if want is not None else given[-1] if given else had
        else:
            left_alone = not asked if want is not None else bool(given) and given[-1] == had
            ok = (status == 1 and said is not None and int(said.group(1)) == rate and
                  abs(told - made) <= 1 and left_alone)
        checks.expect(ok, f"{chip.name}: {rate} baud, which the chip runs at {made}, is "
                      f"{'made' if close_enough(rate, made) else 'refused, naming ' + str(made) + ', the chip left as it was'}",
                      f"{out} (the driver programmed {given})")


def paced_send(guest, player, command, size):
    """Runs command, a send of size bytes; returns its status and output,
    the seconds between the first byte's start and the last's end on the
    wire, and the gaps: (bytes sent before, seconds idle) for each packet
    that found the line idle between the first and the last byte."""
    player.lines()
    start = player.wire_size()
    out, status = guest.run(command, timeout=120)
    lines = player.lines()
    gaps = [(int(l[2]) - start, float(l[3])) for l in lines
            if len(l) > 3 and l[1] == "idle" and start < int(l[2]) < start + size]
    ends = [float(l[3]) for l in lines if len(l) > 3 and l[1] == "empty" and int(l[2]) == start + size]
    firsts = [float(l[0]) for l in lines if len(l) > 3 and l[1] == "idle" and int(l[2]) == start]
    return status, out, ends[-1] - firsts[0] if ends and firsts else 0, gaps


def at_chunk_ends(gaps):
    """How many of the gaps (bytes sent before, seconds) came within 64
    bytes of the end of one of the tool's 2048-byte chunks."""
    return sum(1 for sent, _ in gaps if min(sent % 2048, 2048 - sent % 2048) <= 64)


def check_paced(guest, checks, player, paced):
    """A send at 115200 (7 data bits, 9 bits a character) takes at least its
    time on the wire. On the PL2303, 64 KiB: its buffer never runs empty
    where the tool's chunks end more often than under cat, which keeps the
    driver's queue full, run just before as the control (the guest itself
    stalls now and then on a loaded host, at any byte). The CH340 takes one
    32-byte packet at a time, which dummy_hcd moves once a timer tick (4 ms
    at the guest's 250 Hz), less than the line needs: it shows its figures
    on 8 KiB."""
    chip = player.chip.name
    size = 65536 if chip == "pl2303" else 8192
    control = None
    if chip == "pl2303":
        guest.run(f"stty -F {ADAPTER} 115200 cs7 raw -echo crtscts")
        control = paced_send(guest, player, f"cat /tmp/f{size} > {ADAPTER}", size)
        print(f"{chip}: control (cat): {control[2]:.2f} s on the wire, {len(control[3])} gaps: {control[3][:4]}")
    status, out, wire_s, gaps = paced_send(guest, player, f"vesklo c /tmp/f{size} {ADAPTER}", size)
    need = size * 9 / 115200 * 0.98
    print(f"{chip}: {size // 1024} KiB at 115200: {wire_s:.2f} s on the wire; {len(gaps)} gaps: {gaps[:4]}")
    paced.append((chip, size, wire_s, len(gaps), max((g[1] for g in gaps), default=0)))
    checks.expect(status == 0 and wire_s >= need, f"{chip}: the {size // 1024} KiB send is paced "
                  f"({wire_s:.2f} s on the wire, at least {need:.2f} s)", out)
    if control:
        # A tool that let the line run dry between its 2048-byte chunks would
        # leave it idle once the last byte of each had gone: 32 gaps at the
        # chunks' ends. A loaded host stalls the guest now and then, under
        # cat too, at any byte: what counts is the gaps at the chunks' ends.
        at_ends = at_chunk_ends(gaps)
        checks.expect(at_ends <= at_chunk_ends(control[3]) + 3,
                      f"{chip}: the buffer does not run empty where the tool's chunks end, in 64 KiB at "
                      f"115200 ({at_ends} of {len(gaps)} gaps there; under cat {len(control[3])} gaps)",
                      str(gaps[:10]))


def check_handshake(guest, checks, player, prog):
    """CTS off: ch341 on this kernel writes no flow control, so the send
    goes out and the tool says the handshake is missing; pl2303 holds the
    send until CTS comes back, without a warning."""
    chip = player.chip.name
    player.command("cts 0")
    start = player.wire_size()
    if chip == "ch341":
        out, status = guest.run(f"vesklo c /data/prog {ADAPTER} -b57600")
        _, size = player.wire_digest(start)
        checks.expect(status == 0 and NO_HANDSHAKE in out and size == len(prog),
                      f"ch341: with CTS off the send goes out, and the tool warns that the driver "
                      f"runs without the handshake", out)
    else:
        player.lines()
        background(guest, f"vesklo c /data/prog {ADAPTER} -b57600", "cts")
        wait_held(player)
        # Nothing may leave while CTS is off: a quarter second is ample at
        # 57600, where the whole file takes half a second.
        time.sleep(0.25)
        held = player.wire_size() - start
        player.command("cts 1")
        status, _ = ended(guest, "cts")
        out, err = outputs(guest, "cts")
        _, size = player.wire_digest(start)
        checks.expect(held == 0 and status == 0 and size == len(prog) and NO_HANDSHAKE not in err,
                      f"{chip}: CTS off holds the send, CTS on lets it finish, no handshake warning",
                      f"{held} bytes sent while held, status {status}, {size} bytes, {err!r}")
    player.command("cts 1")


def check_pause(guest, checks, player, pauses):
    """ch341 cannot tell when the chip is empty: at 600 baud the close must
    not drop DTR before the last byte has left the line."""
    player.lines()
    start = player.wire_size()
    out, status = guest.run(f"vesklo c /tmp/sixty4 {ADAPTER} -b600")
    # The chip may still be sending (what this check is about): its log
    # tells when the line fell idle once the last byte is out.
    guest.run(f"n=0; until grep -q ' empty {start + 64} ' {player.log} || [ $n -ge 50 ]; "
              "do sleep 0.1; n=$((n+1)); done")
    lines = player.lines()
    empties = [float(l[3]) for l in lines if len(l) > 3 and l[1] == "empty" and int(l[2]) == start + 64]
    drops = player.chip.dtr_drops(Player.requests(lines))
    margin = drops[-1] - empties[-1] if drops and empties else -99
    pauses.append(("ch341", 600, margin))
    print(f"ch341 at 600 baud: DTR dropped {margin:.3f} s after the last byte left the line")
    checks.expect(status == 0 and 0 <= margin <= 2.5,
                  f"ch341: the close comes after the last byte has left the chip ({margin:+.3f} s)", out)


def check_unplugs(guest, checks, player, prog):
    """The chip unplugged mid-send and in the drain at close; plugged back,
    a send works."""
    chip = player.chip.name
    for tag, when, rate, size, condition in (
            ("ua", "mid-send", 9600, 12288, None),
            ("ub", "in the drain", 38400, 6144, r"^7 0x[0-9a-f]+ 0x1 0x[0-6]?[0-9a-f] |^16 0x[0-9a-f]+ 0x5409 ")):
        start = player.wire_size()
        background(guest, f"vesklo c /tmp/f{size} {ADAPTER} -b{rate}", tag)
        if condition:
            wait = f"grep -qE '{condition}' /proc/$(cat /tmp/{tag}.pid)/syscall"
        else:
            wait = f"[ $(wc -c < {player.wire}) -ge {start + 256} ]"
        _, found = guest.run(f"n=0; until {wait}; do [ $n -ge 500 ] && exit 1; sleep 0.02; n=$((n+1)); done; "
                             f"echo unplug > {CTL}")
        at = time.monotonic()
        status, done = ended(guest, tag)
        out, err = outputs(guest, tag)
        reasons = [l for l in err.splitlines() if l.strip() and NO_HANDSHAKE not in l]
        sent = player.wire_size() - start
        checks.expect(found == 0 and status == 1 and "Can't write destination file" in out
                      and "finish!" not in out and len(reasons) == 1 and reasons[0].endswith(HUNG_UP)
                      and sent < size,
                      f"{chip}: unplugged {when}: status 1, the failure message and one reason naming the "
                      f"hang-up, within {done - at:.2f} s ({sent} of {size} bytes sent)",
                      f"status {status}, {out!r}, {err!r}")
        checks.expect(done - at <= 1.0, f"{chip}: unplugged {when}: the run ends within 1 s ({done - at:.2f} s)")
        wait_adapter(guest, False)
        player.command("plug")
        wait_adapter(guest, True)
        start = player.wire_size()
        out, status = guest.run(f"vesklo c /data/prog {ADAPTER} -b57600")
        digest, got = player.wire_digest(start)
        checks.expect(status == 0 and digest == hashlib.md5(prog).hexdigest(),
                      f"{chip}: plugged back after the unplug {when}, a send is exact", f"{got} bytes, {out!r}")


def write_guest_file(guest, path, data):
    """Writes data to path in the guest, in pieces that fit the console's
    line (printf with octal escapes)."""
    guest.run(f": > {path}")
    for at in range(0, len(data), 800):
        escaped = "".join("\\%03o" % b for b in data[at:at + 800])
        guest.run(f"printf '{escaped}' >> {path}")


def run_chip(guest, checks, chip, prog, table, paced, pauses):
    at = time.monotonic()
    player = Player(guest, chip)
    check_sends(guest, checks, player, prog)
    check_list(guest, checks, chip)
    if chip.full:
        receive(guest, checks, player, f"vesklo c {ADAPTER} /tmp/rx.dat", "/data/prog", "/tmp/prog7",
                settings=True)
        # The Hispeed code crosses 7 data bits: the chip drops bit 7 of it.
        receive(guest, checks, player, f"vesklo d {ADAPTER} /tmp/rx.dat", "/tmp/prog.hs", "/data/prog")
    else:
        receive(guest, checks, player, f"vesklo c {ADAPTER} /tmp/rx.dat -b57600", "/data/prog", "/data/prog")
    check_rates(guest, checks, player, table)
    if chip.full:
        check_handshake(guest, checks, player, prog)
        if chip.name == "ch341":
            check_pause(guest, checks, player, pauses)
        check_unplugs(guest, checks, player, prog)
    if chip.full:
        check_paced(guest, checks, player, paced)
    player.quit()
    print(f"{chip.name} took {time.monotonic() - at:.1f} s")


def start_guest(kernel, initrd, work):
    """The guest, booted; a boot whose console could not be reached is tried
    again, at most 3 times in all. None when none took."""
    for attempt in range(3):
        guest = Guest.__new__(Guest)
        try:
            guest.__init__(["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none",
                            "-m", "256", "-kernel", kernel, "-initrd", initrd, "-append", "quiet"]
                           + socket_chardevs(work, (("con", "con"),))
                           + ["-device", "virtio-serial-pci", "-device", "virtconsole,chardev=con"],
                           work, lines=())
            return guest
        except (RuntimeError, OSError) as e:
            print(f"the guest did not start (attempt {attempt + 1} of 3): {e}")
            if hasattr(guest, "qemu"):
                guest.stop()
    return None


def watchdog(guest):
    """Ends a guest that stops answering, so that the suite ends."""
    def fire():
        print(f"watchdog: the guest has not finished within {WATCHDOG_S} s; ending it")
        guest.stop()
    timer = threading.Timer(WATCHDOG_S, fire)
    timer.daemon = True
    timer.start()
    return timer


def main():
    kernel, initrd, work = sys.argv[1:4]
    prog = pattern(3000)
    checks = Checks()
    started = time.monotonic()
    guest = start_guest(kernel, initrd, work)
    if guest is None:
        checks.expect(False, "the guest started")
        checks.finish()
    timer = watchdog(guest)
    table, paced, pauses = [], [], []
    try:
        print(f"guest booted in {time.monotonic() - started:.1f} s")
        # dummy_hcd at full speed, as the chips are: at high speed its
        # 512-byte packets would be cut by the drivers' smaller reads.
        _, status = guest.run("rmmod dummy_hcd && insmod /lib/modules/dummy_hcd.ko is_high_speed=0")
        if status != 0:
            raise RuntimeError("dummy_hcd could not be loaded at full speed")
        # The test files: the pattern with bit 7 dropped, the Hispeed code
        # of the pattern, a byte, and files to send.
        guest.run("dd if=/dev/zero of=/tmp/f65536 bs=1024 count=64 2>/dev/null; echo -n x > /tmp/one; "
                  "dd if=/dev/zero of=/tmp/f8192 bs=1024 count=8 2>/dev/null; "
                  "dd if=/data/prog of=/tmp/sixty4 bs=64 count=1 2>/dev/null; "
                  "dd if=/dev/zero of=/tmp/f12288 bs=1024 count=12 2>/dev/null; "
                  "dd if=/dev/zero of=/tmp/f6144 bs=1024 count=6 2>/dev/null")
        for path, data in (("/tmp/prog7", mask7(prog)), ("/tmp/prog.hs", hispeed(prog))):
            write_guest_file(guest, path, data)
        for chip in CHIPS:
            run_chip(guest, checks, chip, prog, table, paced, pauses)
    except (RuntimeError, OSError) as e:
        checks.expect(False, "the guest answered", str(e))
    finally:
        timer.cancel()
        guest.stop()
    print("rates by each chip's rules: chip, asked, programmed, made, the tool's answer")
    for name, rate, regs, made, answer in table:
        print(f"  {name:<7}{rate:>9}  {regs:<10}{made:>9}  {answer}")
    for chip, size, wire_s, gaps, longest in paced:
        print(f"paced {size // 1024} KiB at 115200 on {chip}: {wire_s:.2f} s on the wire, {gaps} gaps, "
              f"the longest {longest * 1000:.1f} ms")
    print(f"chip guest suite took {time.monotonic() - started:.1f} s")
    checks.finish()


if __name__ == "__main__":
    main()
