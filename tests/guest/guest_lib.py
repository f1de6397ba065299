"""The guest harness: a Linux guest under QEMU driven through a console
socket, and the cases that every serial driver runs there. A driver is a
row (Row): how its guest boots, its device, how the far side of its line
is written and read, what its device shows of the settings, its rate model
and rates, its unplug ways. A suite is a list of rows and main(rows)."""
import hashlib
import itertools
import os
import re
import select
import shlex
import socket
import subprocess
import sys
import threading
import time
from collections import namedtuple
from types import SimpleNamespace

CODES = bytes([0x80, 0x81, 0x86, 0x87, 0x98, 0x99, 0x9E, 0x9F,
               0xE0, 0xE1, 0xE6, 0xE7, 0xF8, 0xF9, 0xFE, 0xFF])


def hispeed(raw):
    return bytes(b for x in raw for b in (CODES[x & 15], CODES[x >> 4]))


def pattern(n):
    return bytes((i * 13 + i // 256) & 0xFF for i in range(n))


def mask7(data):
    return bytes(b & 0x7F for b in data)


def loadm(data):
    """The LOADM header of -h8000: the start and end addresses, low byte
    first."""
    return bytes([0x00, 0x80, (0x8000 + len(data)) & 0xFF, (0x8000 + len(data)) >> 8])


def md5(data):
    return hashlib.md5(data).hexdigest()


PROG = pattern(3000)
# The files in the guest's /data, which the host knows too.
DATA = {"prog": PROG, "all256": bytes(range(256)) * 8, "prog.hs": hispeed(PROG), "prog7": mask7(PROG),
        "one": b"x", "empty": b"", "slow": pattern(40)}
HUNG_UP = "; the port hung up (unplugged, or the line dropped)"
NOT_THERE = "No such file or directory; USB adapters appear as /dev/ttyUSB0, /dev/ttyACM0 or under /dev/serial/by-id/"
NO_HANDSHAKE = "runs without RTS/CTS handshake"
READ, WRITE = "\nCan't read source file '{port}'\n", "\nCan't write destination file '{port}'\n"
# The settings a run holds a port with (115200 baud, 7 data bits).
HELD = ("cs7", "crtscts", "-ixon", "-ixoff", "-icanon", "-echo", "-opost", "-isig", "-istrip", "-icrnl", "hupcl")
# Sends: the tool, its arguments, what the far end must get, the data bits.
SENDS = (("vesklo", "e /data/prog {port} -h8000", hispeed(loadm(PROG) + PROG), 7),
         ("vesklo", "e /data/prog {port}", hispeed(PROG), 7),
         ("vesklo", "c /data/prog {port} -h8000", loadm(PROG) + PROG, 7),
         ("vesklo", "c /data/prog {port}", PROG, 7),
         ("vesklo", "c /data/all256 {port} -b57600", DATA["all256"], 8),
         ("vesklo", "e /data/prog {port} -b57600", hispeed(PROG), 8),
         ("vesklo", "c /data/prog {port} -b57600 -h8000", loadm(PROG) + PROG, 8))
# Receives: the arguments, the file the far end sends, the file the run
# must write (at 7 data bits on a line that drops bit 7: its 7-bit form),
# whether the settings are read while it holds the port; the far end.
Receive = namedtuple("Receive", "args sent written settings far", defaults=(False, None))
RECEIVES = (Receive("d {port} /tmp/rx.dat", "prog.hs", "prog", True),
            Receive("c {port} /tmp/rx.dat", "prog", "prog"),
            Receive("c {port} /tmp/rx.dat -b57600", "all256", "all256"))
# An unplug phase: its name, the run's command, how the run is seen to be
# there (a shell condition, in which {pid} is the run's, or a function of
# the harness and the run's tag returning (held, detail), held None when
# the set-up let the run through: no test of the tool), the failure
# message the run must give, what is done before the run and what is
# checked after it (functions of the harness, the tag, and the run's output),
# and how many times it is run.
Phase = namedtuple("Phase", "name command hold message prepare after runs", defaults=(None, None, 1))


class Row(SimpleNamespace):
    """A driver as the harness runs it; see README.md for the fields."""
    DEFAULTS = dict(port=None, far=None, wire7=False, lines=None, lines_how="", given=None, model=None,
                    rates=(), sweep_file="one", told_slack=0, puts_back=False, listed=(), unlisted=None,
                    list_setup=None, sends=SENDS, receives=RECEIVES, ways=(), phases=(), files=(), extras=(),
                    tools=("vesklo",), start=None, stop=None, release=None, timing=False,
                    full_only=False)

    def __init__(self, **fields):
        super().__init__(**{**self.DEFAULTS, **fields})
        self.port = self.port or self.dev


def socket_path(work, name):
    return os.path.join(work, name + ".sock")


class Guest:
    """A guest under QEMU whose shell (init) listens on the socket 'con' and
    whose serial lines are the other sockets named in lines. What arrives
    on a line is kept until take() collects it; a paused line is not read
    (QEMU, once the socket is full, stops the guest); with relay, two lines
    are joined like a cable."""

    def __init__(self, argv, work, lines=()):
        self.work, self.lines = work, tuple(lines)
        self.lock = threading.Condition()
        self.reading = threading.Lock()
        self.paused, self.relay = set(), False
        self.console = b""
        self.received = {n: bytearray() for n in self.lines}
        self.read_count = dict.fromkeys(self.lines, 0)
        self.sock = {}
        self.qemu = subprocess.Popen(argv, stdin=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 20
            while not all(os.path.exists(socket_path(work, n)) for n in ("con",) + self.lines):
                if time.monotonic() > deadline:
                    raise RuntimeError("QEMU did not start")
                time.sleep(0.05)
            for n in ("con",) + self.lines:
                self.connect(n)
            # A kernel that panics is told at once, not after the wait.
            _, found, _ = self.wait_console(rb"guest ready\r?\n|Kernel panic[^\r\n]*", 60)
            if found.group(0).startswith(b"Kernel panic"):
                raise RuntimeError(found.group(0).decode(errors="replace"))
        except (RuntimeError, OSError):
            self.stop()
            raise

    def connect(self, name):
        s = socket.socket(socket.AF_UNIX)
        s.connect(socket_path(self.work, name))
        with self.reading:
            self.sock[name] = s
        threading.Thread(target=self.pump, args=(name, s), daemon=True).start()

    def pump(self, name, s):
        while self.sock.get(name) is s:
            if name == "con":
                if not self.recv(name, s, 65536):
                    return
                continue
            with self.reading:
                data = None
                if self.sock.get(name) is not s:
                    return
                if name not in self.paused and select.select([s], [], [], 0.05)[0]:
                    data = self.recv(name, s, 65536)
            if data == b"":
                return
            if data is None and name in self.paused:
                time.sleep(0.02)

    def recv(self, name, s, size):
        """Reads up to size bytes of line name into what it received (or
        across to the other line, with relay); b"" at the socket's end."""
        try:
            data = s.recv(size)
        except OSError:
            return b""
        with self.lock:
            if name == "con":
                self.console += data
            elif self.relay:
                self.sock[self.lines[1 - self.lines.index(name)]].sendall(data)
            else:
                self.received[name] += data
                self.read_count[name] += len(data)
            self.lock.notify_all()
        return data

    def wait_console(self, pattern, timeout):
        """Waits for the regular expression pattern on the console; returns
        what came before it, the match and the time it came, and drops them
        from the console."""
        rx = re.compile(pattern)
        # Each look starts a little before where the last one ended: a long
        # answer (a player's log) read again whole at each chunk took
        # minutes on a loaded machine.
        looked = [0]

        def look():
            found = rx.search(self.console, max(0, looked[0] - 256))
            looked[0] = len(self.console)
            return found

        with self.lock:
            found = self.lock.wait_for(look, timeout)
            at = time.monotonic()
            if not found:
                raise RuntimeError("no %r on the console; it shows %r" % (pattern, self.console[-500:]))
            before = self.console[:found.start()]
            # What background runs printed meanwhile ('== TAG STATUS TIME')
            # is kept for whoever waits for it, out of the text returned.
            marker = re.compile(rb"== (?!done )[\w-]+ \d+ [\d.]+\r?\n")
            self.console = b"".join(marker.findall(before)) + self.console[found.end():]
            return marker.sub(b"", before).decode(errors="replace"), found, at

    def run(self, command, timeout=30):
        """Runs command in the guest's PID 1 loop; returns (output, status).
        A guest that gives no answer is ended."""
        self.sock["con"].sendall(command.encode() + b"\n")
        try:
            out, found, _ = self.wait_console(rb"== done (\d+)\r?\n", timeout)
        except RuntimeError as e:
            self.stop()
            raise RuntimeError(f"watchdog: the guest gave no answer to {command!r} within {timeout} s "
                               f"and was ended ({e})") from None
        return out, int(found.group(1))

    def take(self, name, want, timeout=20):
        with self.lock:
            self.lock.wait_for(lambda: len(self.received[name]) >= want, timeout)
            data = bytes(self.received[name])
            self.received[name].clear()
            return data

    def send(self, name, data):
        self.sock[name].sendall(data)

    def stop(self):
        self.qemu.kill()
        self.qemu.wait()


class Boot:
    """How a guest boots: QEMU's arguments from the image folder (vmlinuz,
    initrd.gz) and the work folder, the lines on sockets, and the commands
    run in the guest once it answers. Rows that share a Boot share a guest."""

    def __init__(self, name, argv, lines=(), setup=(), guest=Guest, initrd=None):
        self.name, self.argv, self.lines, self.setup, self.guest = name, argv, tuple(lines), setup, guest
        self.initrd = initrd or (lambda image, work: os.path.join(image, "initrd.gz"))

    def start(self, image, work):
        """The guest, booted and set up; a boot whose console could not be
        reached is tried again, at most 3 times in all."""
        initrd = self.initrd(image, work)
        for attempt in range(1, 4):
            sockets = []
            for name in ("con",) + self.lines:
                if os.path.exists(socket_path(work, name)):
                    os.unlink(socket_path(work, name))
                sockets += ["-chardev", f"socket,id={name},path={socket_path(work, name)},server=on,wait=off"]
            try:
                guest = self.guest(self.argv(os.path.join(image, "vmlinuz"), initrd, work) + sockets, work,
                                   self.lines)
                break
            except (RuntimeError, OSError) as e:
                print(f"{self.name}: the guest did not start (attempt {attempt} of 3): {e}")
        else:
            raise RuntimeError("the guest did not start")
        for command in self.setup:
            if guest.run(command)[1] != 0:
                guest.stop()
                raise RuntimeError(f"the guest's set-up failed: {command}")
        return guest


class Checks:
    def __init__(self):
        self.passed = self.failed = 0

    def finish(self):
        """Prints the tally and ends the suite, with status 1 when a check
        failed."""
        print(f"{self.passed} passed, {self.failed} failed")
        sys.exit(1 if self.failed else 0)

    def expect(self, ok, what, detail=""):
        if ok:
            self.passed += 1
            print("ok:", what)
        else:
            self.failed += 1
            print("FAILED:", what, detail)


class Harness:
    """One row in its guest: the guest's commands and the row's checks."""

    def __init__(self, guest, checks, row, prefix=""):
        self.guest, self.checks, self.row, self.prefix = guest, checks, row, prefix
        self.fmt = dict(port=row.port, dev=row.dev)

    def run(self, command, timeout=30):
        return self.guest.run(command, timeout)

    def check(self, ok, what, detail=""):
        self.checks.expect(ok, f"{self.prefix}{self.row.name}: {what}", detail)

    def up(self):
        """The guest's uptime. Text the guest printed before it (a shell's
        complaint) is shown, not taken for the number."""
        out = self.run("up")[0]
        try:
            uptime = float(out.split()[-1])
        except (ValueError, IndexError):
            raise RuntimeError(f"no uptime in {out!r}") from None
        if len(out.split()) > 1:
            print(f"{self.prefix}{self.row.name}: the guest printed {out!r} before its uptime")
        return uptime

    def until(self, condition, timeout=10):
        """Waits in the guest until the shell condition holds, looked at
        every 20 ms; False when it did not within timeout seconds."""
        return self.run(f"upto {timeout} {shlex.quote(condition)}", timeout + 30)[1] == 0

    def poll(self, read, ok, timeout=10):
        """Reads until ok(what was read), at most timeout seconds; returns
        the last reading, which the caller judges: a wait for the state
        that the check then reads."""
        deadline = time.monotonic() + timeout
        while True:
            value = read()
            if ok(value) or time.monotonic() > deadline:
                return value
            time.sleep(0.05)

    def stty(self):
        return self.run(f"stty -F {self.row.dev} -a")[0]

    def background(self, command, tag):
        """Starts command in the guest: its outputs to /tmp/TAG.out and .err,
        its process id to /tmp/TAG.pid (there when this returns), and, when
        it ends, '== TAG STATUS UPTIME' to the console."""
        self.run(f"rm -f /tmp/{tag}.pid; ({command} > /tmp/{tag}.out 2> /tmp/{tag}.err & echo $! > /tmp/{tag}.pid; "
                 f"wait $!; s=$?; echo \"== {tag} $s $(up)\") & upto 10 '[ -s /tmp/{tag}.pid ]'")

    def ended(self, tag, timeout=30):
        """The status of the run TAG started in the background, and the
        guest's uptime when it ended."""
        _, found, _ = self.guest.wait_console(rb"== %s (\d+) ([\d.]+)\r?\n" % tag.encode(), timeout)
        return int(found.group(1)), float(found.group(2))

    def outputs(self, tag):
        text, _ = self.run(f"cat /tmp/{tag}.out; echo '=== stderr'; cat /tmp/{tag}.err")
        out, _, err = text.replace("\r\n", "\n").partition("=== stderr\n")
        return out, err

    def start_held(self, command, tag):
        """Starts command on the port left as a run does not (cooked, no
        handshake) and waits until the run has made it raw with RTS/CTS:
        from then on what the far end sends is received as sent."""
        self.run(f"stty -F {self.row.dev} icanon -crtscts")
        self.background(command, tag)
        return self.held()

    def held(self):
        words = self.poll(self.stty, lambda t: "-icanon" in t.split() and "crtscts" in t.split()).split()
        return "-icanon" in words and "crtscts" in words

    def device(self, present):
        """Waits until the row's device is there or gone; raises when not."""
        if not self.until(f"[ {'' if present else '!'} -e {self.row.dev} ]"):
            raise RuntimeError(f"{self.row.dev} did not {'appear' if present else 'go'}")


# ---- the far end: how the line's other side is written and read.

class SocketFar:
    """A line whose far end is a socket of the harness."""

    def __init__(self, line):
        self.line = line

    def start(self, h):
        h.guest.take(self.line, 0, 0)

    def got(self, h, want):
        data = h.guest.take(self.line, len(want))
        return data == want, f"{len(data)} of {len(want)} bytes"

    def send(self, h, name, rate):
        """Sends the file name of DATA; returns the guest's uptime before."""
        at = h.up()
        h.guest.send(self.line, DATA[name])
        return at

    def finish(self, h):
        pass


class RelayFar(SocketFar):
    """The other line of the guest joined to the row's through the host, the
    tool sending on it: e for the code, c for the rest."""

    def __init__(self, port):
        super().__init__(None)
        self.port = port

    def send(self, h, name, rate):
        h.guest.relay = True
        command = "e /data/prog" if name == "prog.hs" else f"c /data/{name}"
        out, status = h.run(f"t=$(up); vesklo {command} {self.port} -b{rate}; s=$?; echo $t; [ $s = 0 ]")
        h.check(status == 0 and "finish!" in out, f"vesklo {command} {self.port} -b{rate}: the sender ends well", out)
        return float(out.split()[-1])

    def finish(self, h):
        h.guest.relay = False


# ---- the cases

def sends(h):
    """Each send arrives exact at the far end (at 7 data bits without bit
    7, where the line drops it); after one at 57600 the port keeps 57600
    with 8 data bits."""
    row = h.row
    for tool, args, want, bits in row.sends:
        if tool not in h.tools:
            continue
        want = mask7(want) if row.wire7 and bits == 7 else want
        command = f"{tool} {args.format(**h.fmt)}"
        row.far.start(h)
        out, status = h.run(command)
        got, detail = row.far.got(h, want)
        h.check(status == 0 and "finish!" in out and got, f"{command}: the far end gets exactly {len(want)} bytes",
                f"status {status}, {detail}, {out!r}")
        if "-b57600" in args:
            after = h.stty()
            h.check("speed 57600 baud" in after and "cs8" in after.split(),
                    "after a run at 57600 the port keeps 57600 with 8 data bits", after)


def held_settings(h):
    """While a run holds the port: termios, the modem lines and data bits
    where the row's device shows them, and a second run refused."""
    row = h.row
    text = h.poll(h.stty, lambda t: "speed 115200 baud" in t and all(f in t.split() for f in HELD))
    h.check("speed 115200 baud" in text, "while held, the port runs at 115200", text)
    for flag in HELD:
        h.check(flag in text.split(), f"while held, the port has {flag}", text)
    if row.lines:
        lines = h.poll(lambda: row.lines(h), lambda l: l.get("DTR") and l.get("RTS") and l.get("bits", 7) == 7)
        h.check(lines.get("DTR") and lines.get("RTS"), f"while held, DTR and RTS are raised ({row.lines_how})",
                str(lines))
        if "bits" in lines:
            h.check(lines["bits"] == 7, "while held, the driver programmed 7 data bits", str(lines))
    out, status = h.run(f"vesklo c /data/prog {row.port}")
    h.check(status == 1 and f"Can't open destination file '{row.port}'" in out and "in use by another program" in out,
            "a second run on the held port is refused", out)


def receive(h, case):
    """A receive of the file that the far end sends: exact, and ending no
    sooner than 2 s after the far end gave the last byte, and at most 0.5 s
    after a `sleep 2` started once the data is in the run's file, which the
    load delays as it delays the run."""
    row = h.row
    far = case.far or row.far
    args = case.args.format(**h.fmt)
    rate = re.search(r"-b(\d+)", args)
    rate = int(rate.group(1)) if rate else 115200
    written = "prog7" if row.wire7 and rate == 115200 and args.startswith("c") else case.written
    h.check(h.start_held(f"rm -f /tmp/rx.dat; vesklo {args}", "rx"), f"{args}: the run holds the port")
    if case.settings:
        held_settings(h)
    h.run(f"(upto 30 'holds /tmp/rx.dat {len(DATA[written])}' && sleep 2; echo \"== rx-control $? $(up)\") &")
    last = far.send(h, case.sent, rate)
    status, end = h.ended("rx")
    failed, control = h.ended("rx-control", 60)
    control = 0.0 if failed else control
    far.finish(h)
    same, _ = h.run(f"cmp /tmp/rx.dat /data/{written} && echo SAME")
    h.check(status == 0 and "SAME" in same, f"{args}: receives exactly", same + "".join(h.outputs("rx")))
    h.check(end - last >= 2.0 and end <= control + 0.5,
            f"{args}: ends 2 s after the last byte, at most 0.5 s after a sleep 2 beside it "
            f"({end - last:.2f} s; the control {control - last:.2f} s)")
    if case.settings:
        after = h.stty()
        for what in ("speed 115200 baud", "cs7", "crtscts", "-ixon", "-icanon"):
            h.check(what in after if " " in what else what in after.split(), f"after the run, the port keeps {what}",
                    after)


def listing(h):
    """--list shows the row's lines (regular expressions, each matching a
    whole line), and no other line that row.unlisted matches."""
    row = h.row
    if row.list_setup:
        h.run(row.list_setup)
    out, status = h.run("vesklo --list")
    lines = [l.strip() for l in out.splitlines() if l.startswith("/dev/")]
    print(f"vesklo --list ({row.name}):\n  " + "\n  ".join(lines))
    mine = [l for l in lines if any(re.fullmatch(rx, l) for rx in row.listed)]
    missing = [rx for rx in row.listed if not any(re.fullmatch(rx, l) for l in lines)]
    others = [l for l in lines if l not in mine and row.unlisted and re.match(row.unlisted, l)]
    h.check(status == 0 and not missing and not others,
            f"--list shows {' and '.join(rx.split()[0] for rx in row.listed)} as they are"
            + (f", and no other line starting {row.unlisted!r}" if row.unlisted else ""), out)


def sweep(h, tool):
    """Each rate is made exactly when the port would run within 2% of it,
    by the row's model (model(rate, had) -> (made, told, key): the rate made
    or 0, what a refusal must name (0 nothing, None not judged), and what the
    driver must give the device, where the row sees it: given(h) lists what
    it was given since the last look, as (key, made)). Without a model, what
    the driver gave is the model. A refused rate leaves the port's settings
    as they were and gives the device nothing new (with puts_back, the old
    setting last)."""
    row = h.row
    print(f"rate sweep with {tool} ({row.name}): asked, given, made, the tool's answer")
    file = f"/data/{row.sweep_file}"
    row.far.start(h)
    h.run(f"{tool} c {file} {row.port} -b9600")
    row.far.got(h, DATA[row.sweep_file])
    given = row.given(h) if row.given else None
    had = row.model(9600, 0)[0] if row.model else 9600
    had_given = given[-1] if given else None
    for rate in row.rates:
        before = h.stty()
        row.far.start(h)
        out, status = h.run(f"{tool} c {file} {row.port} -b{rate} 2>&1")
        got, detail = row.far.got(h, DATA[row.sweep_file]) if status == 0 else (False, "")
        given = row.given(h) if row.given else None
        if row.model:
            made, told, key = row.model(rate, had)
        else:
            new = [g for g in given if g != had_given]
            key, made = new[-1] if new else ("-", 0)
            told = made
        makes = made > 0 and abs(made - rate) * 50 <= rate
        said = re.search(r"the port refused (\d+) baud(?: \(it runs at (\d+)\))?", out)
        print(f"  {rate:>9}  {key if key is not None else '':<10}{made:>9}  "
              f"{'made' if status == 0 else said.group(0) if said else out.strip()}")
        if makes:
            ok = status == 0 and "finish!" in out and got and (given is None or not row.model or (key, made) in given)
            had, had_given = made, given[-1] if given else had_given
        else:
            after = h.stty()
            left = given is None or (given[-1:] == [had_given] if row.puts_back else all(g == had_given for g in given))
            named = int(said.group(2)) if said and said.group(2) else 0
            ok = (status == 1 and said is not None and int(said.group(1)) == rate and after == before and left
                  and (told is None or abs(named - told) <= row.told_slack))
            detail += f" (the settings {'as they were' if after == before else 'changed'})"
        h.check(ok, f"{tool}: {rate} baud, which the port runs at {made}{f' ({key})' if key is not None else ''}, "
                f"is {'made' if makes else 'refused, the port left as it was'}",
                f"{out} {detail} (the device was given {given})")


def unplugs(h):
    """Each phase of the row, by each of its unplug ways: the run is held
    there (a set-up that did not take while the run goes on is made again,
    at most 3 times; a run that ended is the tool's failure, unless the
    set-up let it through), the device
    goes; the run fails with the phase's message and one reason line naming
    the hang-up within 1 s, never 'finish!'. While the device is out, runs
    naming it fail and make no file in /dev; plugged back, a send works.
    A way is (name, unplug, plug[, its own phases]); unplug returns the
    guest's uptime at the unplug."""
    row = h.row
    for way, unplug, plug, *phases in row.ways:
        for n, phase in enumerate(phases[0] if phases else row.phases):
            what, tag = f"out ({way}) {phase.name}", f"u{n}"
            for run in range(1, phase.runs + 1):
                for attempt in range(1, 4):
                    if phase.prepare:
                        phase.prepare(h, tag)
                    h.run(f"stty -F {row.dev} icanon -crtscts")
                    h.background(phase.command.format(tag=tag, **h.fmt), tag)
                    if callable(phase.hold):
                        took, detail = phase.hold(h, tag)
                    else:
                        took, detail = h.until(phase.hold.format(pid=f"$(cat /tmp/{tag}.pid)", tag=tag)), ""
                    if took:
                        break
                    going = h.run(f"kill -0 $(cat /tmp/{tag}.pid)")[1] == 0
                    h.run(f"kill $(cat /tmp/{tag}.pid)")
                    if row.release:
                        row.release(h)
                    h.ended(tag)
                    if not going and took is not None or attempt == 3:
                        break
                    print(f"{what}: the set-up did not take {detail}; again ({attempt} of 3)")
                h.check(took, f"{what}: the run is held there {detail}".rstrip())
                if not took:
                    break
                at = unplug(h)
                status, end = h.ended(tag)
                out, err = h.outputs(tag)
                message = phase.message.format(**h.fmt)
                reasons = [l for l in err.splitlines() if l.strip() and NO_HANDSHAKE not in l]
                h.check(status == 1 and message in out and "finish!" not in out,
                        f"{what}: status 1 and {message.strip()!r}, no 'finish!'", f"status {status}, {out!r}")
                h.check(len(reasons) == 1 and reasons[0].endswith(HUNG_UP), f"{what}: one reason line, naming the hang-up",
                        repr(err))
                h.check(end - at <= 1.0, f"{what}: the run ends within 1 s of the unplug ({end - at:.2f} s)")
                if phase.after:
                    phase.after(h, tag, out, what)
                h.device(False)
                if run == phase.runs:
                    while_out(h, way)
                plug(h)
                h.device(True)
            if not took:
                continue
            row.far.start(h)
            out, status = h.run(f"vesklo c /data/prog {row.port} -b57600")
            got, detail = row.far.got(h, PROG)
            h.check(status == 0 and got, f"plugged back ({way}) after the unplug {phase.name}, a send is exact",
                    f"{detail}, {out!r}")


def while_out(h, way):
    port = h.row.port
    for command, role in ((f"vesklo c /data/prog {port}", "destination"), (f"vesklo d {port} /tmp/none", "source")):
        text, status = h.run(f"({command}; s=$?; [ -e {port} ] && echo 'a file appeared'; exit $s)")
        h.check(status == 1 and f"Can't open {role} file '{port}'" in text and NOT_THERE in text
                and "a file appeared" not in text, f"out ({way}): a run with it as {role} fails, no file appears in /dev",
                text)
        # A file left by a faulty tool would keep the device's node from appearing.
        h.run(f"[ -c {port} ] || rm -f {port}")


def hold_receiving(h, tag):
    """The run holds the port and has received the far end's file."""
    if not h.held():
        return False, "(never held)"
    h.row.far.send(h, "prog", 115200)
    h.row.far.finish(h)
    return h.until(f"holds /tmp/{tag}.dat {len(PROG)}"), ""


def kept(h, tag, out, what):
    same, _ = h.run(f"cmp /tmp/{tag}.dat /data/{'prog7' if h.row.wire7 else 'prog'} && echo SAME")
    h.check("SAME" in same, f"{what}: the bytes received before it are kept", same)


FIRST = Phase("before the first byte", "vesklo d {port} /tmp/{tag}.dat", lambda h, tag: (h.held(), ""), READ)
RECEIVING = Phase("mid-receive", "vesklo c {port} /tmp/{tag}.dat", hold_receiving, READ, after=kept)


def run_row(h):
    row = h.row
    h.tools = [t for t in row.tools if h.run(f"test -x /bin/{t}")[1] == 0]
    for t in row.tools:
        if t not in h.tools:
            print(f"{row.name}: no {t} in the guest; its runs are left out")
    for size in row.files:
        h.run(f"[ -f /tmp/r{size} ] || head -c {size} /dev/urandom > /tmp/r{size}")
    if row.start:
        row.start(h)
    sends(h)
    if row.listed:
        listing(h)
    for case in row.receives:
        receive(h, case)
    for tool in h.tools:
        if row.rates:
            sweep(h, tool)
    unplugs(h)
    for extra in row.extras:
        extra(h)
    if row.stop:
        row.stop(h)


def side_by_side(work, images, rows):
    """Runs the suite on each image in a process of its own, all at once
    (the guests mostly wait on their lines), each in a work folder of its
    own; prints each one's output whole, in the order of the images, then
    the tally of them all. The status: 1 when a check failed."""
    env = dict(os.environ, VESKLO_GUEST_NAMED="1")
    images = [i for i in images if chosen_rows(rows, i)]
    runs = []
    for n, image in enumerate(images):
        sub = os.path.join(work, f"k{n}")  # short: a socket's path is at most 107 bytes
        os.makedirs(sub, exist_ok=True)
        runs.append(subprocess.Popen([sys.executable, sys.argv[0], sub, image], env=env, text=True,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
    passed = failed = 0
    for run in runs:
        out = run.communicate()[0]
        print(out, end="", flush=True)
        tally = re.search(r"^(\d+) passed, (\d+) failed$", out, re.M)
        if tally:
            passed, failed = passed + int(tally.group(1)), failed + int(tally.group(2))
        elif run.returncode != 0:
            failed += 1
            print(f"FAILED: the suite on {run.args[-1]} ended with status {run.returncode} and no tally")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


def chosen_rows(rows, image):
    """The rows that the kernels file chose for image ('rows': "all", or
    "timing" for those marked timing), less those marked full_only; with
    VESKLO_TEST_ALL=1 (`make test-all`), every row. VESKLO_GUEST_ROWS
    (names, comma-separated) leaves out the others."""
    only = os.environ.get("VESKLO_GUEST_ROWS")
    full = os.environ.get("VESKLO_TEST_ALL") == "1"
    choice = os.path.join(image, "rows")
    choice = open(choice).read().strip() if os.path.exists(choice) else "all"
    return [r for r in rows if (not only or r.name in only.split(","))
            and (full or ((choice == "all" or r.timing) and not r.full_only))]


def main(rows):
    """SUITE.py WORKDIR IMAGE...: runs the rows chosen for each image (a
    folder with a kernel's vmlinuz, the initramfs built for it and the
    choice of rows); rows that share a Boot share a guest. Several images
    run side by side. Ends with 'N passed, M failed'; exits 1 when one
    failed."""
    work, images = sys.argv[1], sys.argv[2:]
    if len(images) > 1:
        sys.exit(side_by_side(work, images, rows))
    checks = Checks()
    for image in images:
        prefix = f"[{os.path.basename(image.rstrip('/'))}] " if os.environ.get("VESKLO_GUEST_NAMED") else ""
        for boot, group in itertools.groupby(chosen_rows(rows, image), key=lambda r: r.boot):
            started = time.monotonic()
            guest = None
            try:
                guest = boot.start(image, work)
                # The last resort: a guest that hangs in a way no command notices.
                watchdog = threading.Timer(400, lambda: (print(f"watchdog: {boot.name} ran 400 s; ended it"),
                                                         guest.stop()))
                watchdog.daemon = True
                watchdog.start()
                release = guest.run("uname -r")[0].strip()
                print(f"{prefix}{boot.name}: booted Linux {release} in {time.monotonic() - started:.1f} s")
                for row in group:
                    at = time.monotonic()
                    run_row(Harness(guest, checks, row, prefix))
                    print(f"{prefix}{row.name}: took {time.monotonic() - at:.1f} s")
            except (RuntimeError, OSError) as e:
                checks.expect(False, f"{prefix}{boot.name}: the guest answered", str(e))
            finally:
                if guest:
                    watchdog.cancel()
                    guest.stop()
            print(f"{prefix}{boot.name}: the guest ran {time.monotonic() - started:.1f} s")
    checks.finish()
