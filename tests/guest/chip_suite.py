#!/usr/bin/env python3
"""The USB serial chips that cables carry: chip_gadget plays a CH340
(ch341), a PL2303TA (pl2303) and a CP2102 (cp210x), one after the other,
to the guest kernel's own drivers through FunctionFS on dummy_hcd (full
speed). The player records what each driver programs and plays the wire
at the programmed rate; which rate a set of registers makes is judged
here, by a model written from each driver's arithmetic and the chip's data
sheet.

    chip_suite.py WORKDIR IMAGE..."""
import re
from collections import namedtuple

from guest_lib import (FIRST, NO_HANDSHAKE, PROG, RECEIVES, RECEIVING, SENDS, WRITE, Boot, Phase, Receive, Row, main,
                       md5)

ADAPTER, BRIDGE, CTL = "/dev/ttyUSB0", "/dev/ttyACM0", "/tmp/chip.ctl"
STALL = "has taken no data"
# The run waits for its queue: in poll with a time-out, or in tcdrain.
DRAINING = r"grep -qE '^7 0x[0-9a-f]+ 0x1 0x[0-6]?[0-9a-f] |^16 0x[0-9a-f]+ 0x5409 ' /proc/{pid}/syscall"
Req = namedtuple("Req", "t typ req value index data")

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
    q = (1 << (12 - 3 * (prescaler & 3) - (prescaler >> 2 & 1))) * (0x100 - divisor if divisor else 256)
    return (48000000 + q // 2) // q


def ch341_model(rate, had):
    pre, div = ch341_registers(rate)
    made = ch341_made(pre, div)
    return made, made, f"{pre | 0x80:02x} {div:02x}"   # bit 7: the chip's version 0x30


PL2303_DIRECT = (75, 150, 300, 600, 1200, 1800, 2400, 3600, 4800, 7200, 9600, 14400, 19200, 28800,
                 38400, 57600, 115200, 230400, 460800, 614400, 921600, 1228800, 2457600, 3000000, 6000000)


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


def pl2303_model(rate, had):
    coding = pl2303_ta_coding(rate)
    made = pl2303_ta_made(coding)
    return made, made, coding.hex()


# What each chip's requests program: its rate (as (registers in hex, the
# rate they make)), its data bits, its modem lines; None for other requests.
CHIPS = {
    "ch341": (lambda r: (f"{r.index & 0xFF:02x} {r.index >> 8:02x}", ch341_made(r.index & 0xFF, r.index >> 8))
              if r.req == 0x9A and r.value == 0x1312 else None,
              lambda r: 5 + (r.index & 3) if r.req == 0x9A and r.value == 0x2518 else None,
              lambda r: {"DTR": not r.value & 0x20, "RTS": not r.value & 0x40} if r.req == 0xA4 else None),
    "pl2303": (lambda r: (r.data[:4].hex(), pl2303_ta_made(r.data)) if (r.typ, r.req, len(r.data)) == (0x21, 0x20, 7)
               else None,
               lambda r: r.data[6] if (r.typ, r.req, len(r.data)) == (0x21, 0x20, 7) else None,
               lambda r: {"DTR": bool(r.value & 1), "RTS": bool(r.value & 2)} if (r.typ, r.req) == (0x21, 0x22)
               else None),
    # cp210x fits the rate to the part (its AN205 table) and sends the
    # result, which the part makes.
    "cp210x": (lambda r: (r.data.hex(), int.from_bytes(r.data, "little"))
               if (r.typ, r.req, len(r.data)) == (0x41, 0x1E, 4) else None,
               lambda r: r.value >> 8 if (r.typ, r.req) == (0x41, 0x03) else None,
               lambda r: {"DTR": bool(r.value & 1), "RTS": bool(r.value & 2)}
               if (r.typ, r.req) == (0x41, 0x07) and r.value & 0x100 else None),
    # A CDC-ACM bridge: the line coding's rate as it is.
    "ch9102": (lambda r: (r.data[:4].hex(), int.from_bytes(r.data[:4], "little"))
               if (r.typ, r.req, len(r.data)) == (0x21, 0x20, 7) else None,
               lambda r: r.data[6] if (r.typ, r.req, len(r.data)) == (0x21, 0x20, 7) else None,
               lambda r: {"DTR": bool(r.value & 1), "RTS": bool(r.value & 2)} if (r.typ, r.req) == (0x21, 0x22)
               else None),
}


class Player:
    """chip_gadget in the guest: its log, read whole as events (each a list
    of words), each reader keeping where it last looked; its wire file."""

    def __init__(self, h, chip):
        self.h, self.chip, self.log, self.wire = h, chip, f"/tmp/{chip}.log", f"/tmp/{chip}.wire"
        self.events, self.seen, self.looked = [], 0, {}
        h.run(f"rm -f {CTL}; : > {self.log}; : > {self.wire}; "
              f"chip_gadget {chip} {self.log} {self.wire} {CTL} > /tmp/gadget.err 2>&1 &")
        h.device(True)

    def read(self):
        text = self.h.run(f"tail -c +{self.seen + 1} {self.log}")[0].replace("\r\n", "\n")
        self.seen += len(text.encode())
        self.events += [l.split() for l in text.splitlines() if l.strip()]
        return self.events

    def since(self, reader):
        self.read()
        start, self.looked[reader] = self.looked.get(reader, 0), len(self.events)
        return self.events[start:]

    def found(self, what, events=None):
        """What each request among events (all by default) programs,
        where what is 0 (the rate), 1 (data bits) or 2 (modem lines)."""
        requests = [Req(float(e[0]), *(int(x, 16) for x in e[2:6]),
                        bytes.fromhex(e[7]) if len(e) > 7 and not e[7].endswith("stall") else b"")
                    for e in (self.read() if events is None else events) if len(e) >= 7 and e[1] == "req"]
        return [(r.t, v) for r in requests for v in [CHIPS[self.chip][what](r)] if v is not None]

    def command(self, text):
        self.h.run(f"echo '{text}' > {CTL}")

    def wire_size(self):
        return int(self.h.run(f"wc -c < {self.wire}")[0].split()[0])

    def wire_digest(self, start):
        """The MD5 of the wire from byte start on, and its length."""
        text, _ = self.h.run(f"tail -c +{start + 1} {self.wire} | md5sum; tail -c +{start + 1} {self.wire} | wc -c")
        return text.split()[0], int(text.split()[-1])


class WireFar:
    """The chip's wire: what left it since start(), and bytes played into
    it at the line's rate."""

    def start(self, h):
        self.at = h.player.wire_size()

    def got(self, h, want):
        digest, size = h.player.wire_digest(self.at)
        return digest == md5(want), f"{size} of {len(want)} bytes"

    def send(self, h, name, rate):
        """Returns when the player handed the host the last byte."""
        h.player.since("rx")
        h.player.command(f"send /data/{name}")
        done = h.poll(lambda: [e for e in h.player.since("rx") if e[1] == "rxdone"], bool, 30)
        return float(done[0][0]) if done else 0.0

    def finish(self, h):
        pass


def chip_state(h):
    """The modem lines and data bits as the driver's requests left them."""
    lines, bits = h.player.found(2), h.player.found(1)
    return dict(lines[-1][1] if lines else {}, **({"bits": bits[-1][1]} if bits else {}))


def handshake(h):
    """CTS off: a driver that programmed the chip's flow control has the
    chip hold the send until CTS comes back, and the tool warns of nothing;
    one that did not (ch341 before Linux 6.14) lets it go, and the tool
    warns that the port runs without the handshake. Which one is expected
    follows what the driver programmed, as the player recorded it."""
    p, pid = h.player, "$(cat /tmp/hs.pid)"
    p.command("cts 0")
    start = p.wire_size()
    p.since("hs")
    h.background(f"vesklo c /data/prog {ADAPTER} -b57600", "hs")
    # The run has handed the driver its data (it waits in the drain) or ended.
    h.until(f"{DRAINING.format(pid=pid)} || [ ! -d /proc/{pid} ]")
    flow = ([e[2] for e in p.read() if e[1] == "flow"] or ["0"])[-1] == "1"
    held = flow and h.poll(lambda: [e for e in p.since("hs") if e[1] == "held"], bool)
    sent_while_off = p.wire_size() - start
    p.command("cts 1")
    status, _ = h.ended("hs")
    out, err = h.outputs("hs")
    size = p.wire_digest(start)[1]
    warned = NO_HANDSHAKE in out + err
    detail = f"{sent_while_off} bytes sent while CTS was off, status {status}, {size} bytes, {out!r} {err!r}"
    if flow:
        h.check(held and sent_while_off == 0 and status == 0 and size == len(PROG) and not warned,
                "the driver programmed the chip's flow control: CTS off holds the send, CTS on lets it "
                "finish, no handshake warning", detail)
    else:
        h.check(status == 0 and size == len(PROG) and warned, "the driver programmed no flow control: with CTS "
                "off the send goes out, and the tool warns that the driver runs without the handshake", detail)


def close_after_last(rate, size):
    """A driver that cannot wait for its chip leaves the close to the tool:
    a send of size bytes at rate must drop DTR only once the last byte has
    left the chip's wire, print "finish!" (and end) only after that, end
    well, and give no stall notice. The times are the player's: when the
    line fell idle, when the DTR request arrived, when the run's output
    came into the FIFO that the player watches."""
    def case(h):
        p, dev, said = h.player, h.row.dev, "/tmp/said.fifo"
        what = f"{size} B at {rate} baud"
        p.since("close")
        start = p.wire_size()
        h.run(f"rm -f {said}")
        p.command(f"watch {said}")
        h.until(f"[ -p {said} ]")
        text, _ = h.run(f"vesklo c /tmp/r{size} {dev} -b{rate} > {said} 2> /tmp/close.err; s=$?; t=$(up); "
                        f"cat /tmp/close.err; echo; echo \"status $s end $t\"", 60)
        ended = re.search(r"status (\d+) end ([\d.]+)", text)
        status, end = (int(ended.group(1)), float(ended.group(2))) if ended else (-1, 0.0)
        h.until(f"grep -q ' empty {start + size} ' {p.log}", 30)
        h.poll(lambda: [e for e in p.read()[p.looked["close"]:] if e[1] == "said-end"], bool, 10)
        events = p.since("close")
        last = ([float(e[3]) for e in events if len(e) > 3 and e[1] == "empty" and int(e[2]) == start + size]
                or [0.0])[-1]
        # The close's drop is the last: the driver's open drops DTR too,
        # before raising it.
        drops = [t for t, lines in p.found(2, events) if not lines["DTR"]][-1:]
        out, finish = b"", None
        for e in events:
            if e[1] == "said" and len(e) > 2:
                out += bytes.fromhex(e[2])
                if finish is None and b"finish!" in out:
                    finish = float(e[0])
        got, size_got = p.wire_digest(start)
        exact = size_got == size and got == h.run(f"md5sum < /tmp/r{size}")[0].split()[0]
        times = (f"the last byte left at {last:.3f}; DTR dropped {min(drops) - last:+.3f} s after it, "
                 if drops else "no DTR drop; ") + \
                (f"finish! {finish - last:+.3f} s, the end {end - last:+.2f} s" if finish else "no finish!")
        print(f"{h.row.name}: close after {what}: {times}")
        h.check(status == 0 and exact,
                f"{what}: the send ends well and the wire carries it exactly", f"status {status}, {size_got} bytes")
        h.check(bool(drops) and last > 0 and min(drops) >= last,
                f"{what}: DTR drops only after the last byte has left the chip ({times})")
        h.check(finish is not None and drops and finish >= max(last, min(drops)) and end >= finish - 0.01,
                f"{what}: \"finish!\" comes, and the run ends, only after that ({times})", repr(out))
        h.check(STALL not in text, f"{what}: no stall notice", text)
    return case


def paced(size, control):
    """A send at 115200 (7 data bits, 9 bits a character) takes at least its
    time on the wire. With control, its buffer runs empty where the tool's
    chunks end no more often than under cat, which keeps the driver's queue
    full, run just before (a loaded host stalls the guest now and then, at
    any byte): a tool that let the line run dry between its 2048-byte chunks
    would leave it idle at the end of each. A gap during which the player
    itself was stalled (a loaded host stops the whole guest) is the guest's,
    and counted neither for the tool nor for cat. The CH340 takes one 32-byte
    packet at a time, which dummy_hcd moves once a timer tick (4 ms at the
    guest's 250 Hz), less than the line needs: it shows its figures on 8 KiB."""
    def send(h, command):
        """(status, output, seconds from the first byte's start to the last's
        end, gaps: (bytes sent before, seconds idle) for each packet that
        found the line idle between the first and the last byte)."""
        p = h.player
        p.since("paced")
        start = p.wire_size()
        out, status = h.run(command, 120)
        h.until(f"grep -q ' empty {start + size} ' {p.log}")
        events = p.since("paced")
        stalls = [(float(e[0]) - float(e[2]), float(e[0])) for e in events if e[1] == "late"]
        gaps = [(int(e[2]) - start, float(e[3])) for e in events if e[1] == "idle" and start < int(e[2]) < start + size
                and not any(a < float(e[0]) and b > float(e[0]) - float(e[3]) for a, b in stalls)]
        events = [e for e in events if len(e) > 3]
        ends = [float(e[3]) for e in events if e[1] == "empty" and int(e[2]) == start + size]
        firsts = [float(e[0]) for e in events if e[1] == "idle" and int(e[2]) == start]
        print(f"{h.row.name}: {command.split()[0]}: the player stalled {len(stalls)} times")
        return status, out, ends[-1] - firsts[0] if ends and firsts else 0, gaps

    def at_chunk_ends(gaps):
        return sum(1 for sent, _ in gaps if min(sent % 2048, 2048 - sent % 2048) <= 64)

    def case(h):
        if control:
            h.run(f"stty -F {ADAPTER} 115200 cs7 raw -echo crtscts")
            cat = send(h, f"cat /tmp/r{size} > {ADAPTER}")
            print(f"{h.row.name}: control (cat): {cat[2]:.2f} s on the wire, {len(cat[3])} gaps: {cat[3][:4]}")
        status, out, wire_s, gaps = send(h, f"vesklo c /tmp/r{size} {ADAPTER}")
        need = size * 9 / 115200 * 0.98
        print(f"{h.row.name}: {size // 1024} KiB at 115200: {wire_s:.2f} s on the wire; {len(gaps)} gaps, the longest "
              f"{max((g[1] for g in gaps), default=0) * 1000:.1f} ms: {gaps[:4]}")
        h.check(status == 0 and wire_s >= need,
                f"the {size // 1024} KiB send is paced ({wire_s:.2f} s on the wire, at least {need:.2f} s)", out)
        if control:
            h.check(at_chunk_ends(gaps) <= at_chunk_ends(cat[3]) + 3,
                    f"the buffer does not run empty where the tool's chunks end, in {size // 1024} KiB at 115200 "
                    f"({at_chunk_ends(gaps)} of {len(gaps)} gaps there; under cat {len(cat[3])} gaps)", str(gaps[:10]))
    return case


def sent_less(size):
    def after(h, tag, out, what):
        sent = h.player.wire_size() - h.mark
        h.check(sent < size, f"{what}: the line carried less than the file ({sent} of {size} bytes)")
    return after


def mark_wire(h, tag):
    h.mark = h.player.wire_size()


PHASES = (FIRST, RECEIVING,
          Phase("mid-send", "vesklo c /tmp/r12288 {port} -b9600",
                lambda h, tag: (h.until(f"[ $(wc -c < {h.player.wire}) -ge {h.mark + 256} ]"), ""), WRITE,
                prepare=mark_wire, after=sent_less(12288)),
          Phase("in the drain at close", "vesklo c /tmp/r6144 {port} -b38400", DRAINING, WRITE, prepare=mark_wire,
                after=sent_less(6144)))
CABLE = ("cable", lambda h: float(h.run(f"t=$(up); echo unplug > {CTL}; echo $t")[0].split()[-1]),
         lambda h: h.player.command("plug"))
BOOT = Boot("chips", lambda kernel, initrd, work: [
    "qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none", "-m", "256", "-kernel", kernel,
    "-initrd", initrd, "-append", "quiet", "-device", "virtio-serial-pci", "-device", "virtconsole,chardev=con"],
    # dummy_hcd at full speed, as the chips are: at high speed its 512-byte
    # packets would be cut by the drivers' smaller reads.
    setup=("rmmod dummy_hcd && insmod /lib/modules/dummy_hcd.ko is_high_speed=0",))


def chip_row(name, driver, ids, rates, dev=ADAPTER, **fields):
    def start(h):
        h.player = Player(h, name)

    def stop(h):
        h.player.command("quit")
        h.device(False)

    return Row(name=name, boot=BOOT, dev=dev, far=WireFar(), wire7=True, start=start, stop=stop, rates=rates,
               lines=chip_state, lines_how="the chip's requests", told_slack=1,
               given=lambda h: [v for _, v in h.player.found(0, h.player.since("rates"))],
               listed=(rf"{dev}  USB {ids}  .*  driver {driver}",), unlisted="/dev/",
               files=(32, 64, 256, 6144, 8192, 12288, 65536), **fields)


ROWS = [
    # Among the rates, each chip's limits: ch341 clamps to 46..3000000 baud,
    # pl2303's divisors must pass within 2% (a TA refuses above 6 MBd).
    chip_row("ch341", "ch341-uart", "1a86:7523", (40, 45, 46, 9600, 115200, 921600, 2000000, 2500000, 3000000,
                                                  3100000, 4000000, 12000000),
             # A receive at 300 baud: its quiet end is 2 s, as at any rate.
             receives=RECEIVES + (Receive("c {port} /tmp/rx.dat -b300", "slow", "slow"),),
             model=ch341_model, ways=(CABLE,), phases=PHASES, timing=True,
             extras=(handshake, close_after_last(110, 64), close_after_last(150, 32), paced(8192, False))),
    # Left out of the default run for time (make test-all runs it).
    chip_row("pl2303", "pl2303", "067b:2303", (50, 110, 115200, 123457, 250001, 3500000, 6000000, 7000000, 12000000),
             model=pl2303_model, ways=(CABLE,), phases=PHASES, full_only=True,
             extras=(handshake, close_after_last(600, 256), paced(65536, True))),
    # A smoke set: its driver reports the rate it fitted, which is put back
    # on a refusal.
    chip_row("cp210x", "cp210x", "10c4:ea60", (115200, 120000), puts_back=True, sends=SENDS[4:5],
             receives=RECEIVES[2:]),
    # A CDC-ACM bridge known by its ids (cdc_acm cannot wait for the chip):
    # its close, and the ids in --list; the rest is the CDC-ACM guest's.
    chip_row("ch9102", "cdc_acm", "1a86:55d4", (), dev=BRIDGE, sends=SENDS[4:5], receives=(),
             extras=(close_after_last(1200, 256),)),
]

if __name__ == "__main__":
    main(ROWS)
