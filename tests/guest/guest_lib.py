"""What the guest suites share: the test data, the Hispeed code, a guest
under QEMU driven through a console socket, and the tally of checks."""
import os
import re
import socket
import subprocess
import sys
import threading
import time

CODES = bytes([0x80, 0x81, 0x86, 0x87, 0x98, 0x99, 0x9E, 0x9F,
               0xE0, 0xE1, 0xE6, 0xE7, 0xF8, 0xF9, 0xFE, 0xFF])


def hispeed(raw):
    return bytes(b for x in raw for b in (CODES[x & 15], CODES[x >> 4]))


def pattern(n):
    return bytes((i * 13 + i // 256) & 0xFF for i in range(n))


class Guest:
    """A guest under QEMU whose shell listens on the socket 'con' and whose
    serial lines are the other sockets named in lines; what arrives on a
    line is kept until take() collects it. argv is QEMU's command line,
    with socket_path(work, name) for the socket of each name."""

    @staticmethod
    def socket_path(work, name):
        return os.path.join(work, name + ".sock")

    def __init__(self, argv, work, lines=("com1", "com2")):
        self.work = work
        names = ("con",) + tuple(lines)
        paths = {n: Guest.socket_path(work, n) for n in names}
        self.qemu = subprocess.Popen(argv, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not all(os.path.exists(p) for p in paths.values()):
            if time.monotonic() > deadline:
                raise RuntimeError("QEMU did not start")
            time.sleep(0.05)
        self.sock = {}
        for n, p in paths.items():
            s = socket.socket(socket.AF_UNIX)
            s.connect(p)
            self.sock[n] = s
        self.console = b""
        self.lock = threading.Condition()
        self.received = {n: bytearray() for n in lines}
        self.relay = False
        for n in names:
            threading.Thread(target=self.pump, args=(n,), daemon=True).start()
        self.wait_console(rb"guest ready\r?\n", 60)

    def pump(self, name):
        s = self.sock[name]
        while True:
            try:
                data = s.recv(65536)
            except OSError:
                return
            if not data:
                return
            with self.lock:
                if name == "con":
                    self.console += data
                elif self.relay:
                    self.sock["com2" if name == "com1" else "com1"].sendall(data)
                else:
                    self.received[name] += data
                self.lock.notify_all()

    def wait_console(self, pattern, timeout):
        """Waits for the regular expression pattern on the console; returns
        what came before it, the match and the time it came, and drops them
        from the console."""
        rx = re.compile(pattern)
        with self.lock:
            found = self.lock.wait_for(lambda: rx.search(self.console), timeout)
            at = time.monotonic()
            if not found:
                raise RuntimeError("no %r on the console; it shows %r" % (pattern, self.console[-500:]))
            before = self.console[:found.start()]
            # What background jobs printed meanwhile ('== TAG STATUS') is
            # kept for whoever waits for it, out of the text returned.
            marker = re.compile(rb"== (?!done )[\w-]+ \d+\r?\n")
            jobs = b"".join(marker.findall(before))
            self.console = jobs + self.console[found.end():]
            return marker.sub(b"", before).decode(errors="replace"), found, at

    def run(self, command, timeout=60):
        """Runs command in the guest's PID 1 loop; returns (output, status)."""
        self.sock["con"].sendall(command.encode() + b"\n")
        out, found, _ = self.wait_console(rb"== done (\d+)\r?\n", timeout)
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


def until(guest, condition, what, timeout=10):
    """Waits in the guest until the shell condition holds, looked at every
    50 ms; raises, naming what never came, after timeout seconds."""
    _, status = guest.run(f"(n=0; until {condition}; do [ $n -ge {int(timeout * 20)} ] && exit 1; "
                          "n=$((n+1)); sleep 0.05; done)", timeout + 30)
    if status != 0:
        raise RuntimeError(f"{what} did not come within {timeout} s")


def wait_device(guest, device, present):
    """Waits up to 10 s in the guest until device is there (present) or
    gone; raises when it did not appear or go."""
    wanted, other = ("-e", "! -e") if present else ("! -e", "-e")
    _, status = guest.run(f"n=0; while [ {other} {device} ] && [ $n -lt 100 ]; "
                          f"do sleep 0.1; n=$((n+1)); done; [ {wanted} {device} ]")
    if status != 0:
        raise RuntimeError(f"{device} did not {'appear' if present else 'go'}")


def ended(guest, tag, timeout=30):
    """Waits for '== TAG STATUS' of a run started in the background; returns
    its status and when it came."""
    _, found, at = guest.wait_console(rb"== %s (\d+)\r?\n" % tag.encode(), timeout)
    return int(found.group(1)), at


def outputs(guest, tag):
    """The standard output and error that the run TAG left in /tmp/TAG.out
    and /tmp/TAG.err."""
    text, _ = guest.run(f"cat /tmp/{tag}.out; echo '=== stderr'; cat /tmp/{tag}.err")
    out, _, err = text.replace("\r\n", "\n").partition("=== stderr\n")
    return out, err


def reset_port(guest, device):
    """Leaves device as a run does not: cooked, without the handshake, so
    that wait_raw can tell when a run has set it up."""
    guest.run(f"stty -F {device} icanon -crtscts")


def wait_raw(guest, device):
    """Waits until a run started after reset_port holds device with its
    line settings (raw, RTS/CTS): from then on what is sent to it is
    received as sent."""
    until(guest, f"stty -F {device} -a | grep -q -- -icanon && "
                 f"stty -F {device} -a | grep -Eq '(^| )crtscts( |$)'", f"a run holding {device}")


def ended_beside_control(guest, tag, since, seconds, start_when="true", timeout=60):
    """Starts a control in the guest beside a run that ends about seconds
    after since (a `sleep`, as the quiet end of a receive is), once the
    shell condition start_when holds (the last data has reached the guest),
    and waits for the run's '== TAG STATUS' and the control. Returns the
    run's status and how long after since the run and the control were
    seen to end: an upper bound is judged against the control, which the
    load of the machine delays as it delays the run."""
    guest.run(f'(until {start_when}; do sleep 0.01; done; sleep {seconds}; '
              f'echo "== {tag}-control 0") &')
    seen = {}
    while len(seen) < 2:
        _, found, at = guest.wait_console(rb"== (%s|%s-control) (\d+)\r?\n" % (tag.encode(), tag.encode()),
                                          timeout)
        seen[found.group(1).decode()] = (int(found.group(2)), at - since)
    status, took = seen[tag]
    return status, took, seen[tag + "-control"][1]


def holds_bytes(path, count):
    """A shell condition: the file at path holds count bytes or more."""
    return f"[ \"$(wc -c < {path} 2>/dev/null || echo 0)\" -ge {count} ]"


def quiet_end_check(checks, what, quiet, control):
    """A receive ends 2 s after its last byte, never sooner, and at most
    0.5 s later than a `sleep 2` started beside it."""
    checks.expect(2.0 <= quiet <= control + 0.5,
                  f"{what} ends 2 s after the last byte, at most 0.5 s after a sleep 2 beside it "
                  f"({quiet:.2f} s; the control {control:.2f} s)")


def socket_chardevs(work, sockets):
    """QEMU's arguments for a unix socket chardev per (name, id) of sockets,
    each at socket_path(work, name), freed of a socket an earlier run left."""
    argv = []
    for name, chardev in sockets:
        path = Guest.socket_path(work, name)
        if os.path.exists(path):
            os.unlink(path)
        argv += ["-chardev", f"socket,id={chardev},path={path},server=on,wait=off"]
    return argv


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
