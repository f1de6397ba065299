#!/usr/bin/env python3
"""The tool on a board with native USB: a Linux guest under QEMU (software
emulation) in which the kernel's own CDC-ACM driver (cdc_acm) makes
/dev/ttyACM0 of a USB gadget with an ACM function, on the dummy host
controller (dummy_hcd, which joins a host controller and a device
controller inside the guest). The gadget is made through configfs by this
suite; its end of the line is /dev/ttyGS0, read and written by busybox in
the guest. Unbinding the gadget from the device controller pulls the board
out; unbinding the host controller (dummy_hcd.0) removes the host side.

    acm_suite.py KERNEL INITRD WORKDIR [STANDIN]

STANDIN is the stand-in line (libline_standin.so, by default in the tests
folder of the build that holds INITRD's folder), which the suite adds to
the guest to hold the pause before a close open while the board is pulled
out. Ends with 'N passed, M failed'; exits 1 when any check failed."""
import gzip
import hashlib
import os
import re
import shutil
import subprocess
import sys
import threading
import time

from guest_lib import Checks, Guest, hispeed, pattern, socket_chardevs

ACM = "/dev/ttyACM0"
FAR = "/dev/ttyGS0"
HUNG_UP = "; the port hung up (unplugged, or the line dropped)"
NOT_THERE = ("No such file or directory; USB adapters appear as /dev/ttyUSB0, /dev/ttyACM0 "
             "or under /dev/serial/by-id/")
# A send that the far end, not reading, holds in the drain: it fits in the
# driver's write buffers (16 of them, one a write of the tool's 2048 bytes).
DRAIN_SEND = 16384
BIG = 1 << 20
# Each drain-phase unplug is run this many times: the hang-up comes from
# the kernel's queued work, and one run that passes proves little.
DRAIN_RUNS = 10
# The device takes whatever rate it is given; odd ones among them.
SWEEP = (50, 75, 110, 300, 1200, 31250, 74880, 100000, 115200, 250000, 921600, 1000000,
         3000000, 12000000)
# Where the stand-in line goes in the guest, and how long it holds the pause.
STANDIN = "/lib/vesklo/libline_standin.so"
PAUSE_HELD_MS = 5000
# How long a guest command may take before the watchdog ends the guest.
ANSWER_S = 30
# The guest's helpers, defined once in its shell. plug binds the gadget to
# the device controller and waits for both ends; unplug_gadget unbinds it;
# hcd_out and hcd_in unbind and bind the host controller. held waits until
# a run holds the board's port (the port, made cooked before the run,
# turns raw). written waits until process $1 has written $2 bytes, size
# until file $1 holds $2. far_end stops the far end's reader. paused waits
# until process $1 sleeps in the pause the stand-in holds (poll with its
# time-out). told shows a run's status, a time and its outputs. Each wait
# gives up after a bound, with status 1.
HELPERS = r"""
G=/sys/kernel/config/usb_gadget/vesklo; HCD=/sys/bus/platform/drivers/dummy_hcd
appear() { n=0; while [ ! -c $1 ] && [ $n -lt 200 ]; do sleep 0.05; n=$((n+1)); done; [ -c $1 ]; }
gone() { n=0; while [ -e $1 ] && [ $n -lt 200 ]; do sleep 0.05; n=$((n+1)); done; [ ! -e $1 ]; }
plug() { echo dummy_udc.0 > $G/UDC && appear ACM && appear FAR; }
unplug_gadget() { echo '' > $G/UDC; }
hcd_out() { echo dummy_hcd.0 > $HCD/unbind; }
hcd_in() { echo dummy_hcd.0 > $HCD/bind && appear ACM; }
cooked() { stty -F ACM sane; }
held() { n=0; while stty -F ACM -a 2>/dev/null | grep -q ' icanon' && [ $n -lt 100 ]; do sleep 0.03; n=$((n+1)); done; [ $n -lt 100 ]; }
wchar() { awk '/^wchar/ {print $2}' /proc/$1/io 2>/dev/null || echo 0; }
written() { n=0; while [ "$(wchar $1)" -lt $2 ] && [ $n -lt 300 ]; do sleep 0.02; n=$((n+1)); done; [ $n -lt 300 ]; }
size() { n=0; while [ "$(wc -c < $1)" -lt $2 ] && [ $n -lt 200 ]; do sleep 0.02; n=$((n+1)); done; [ $n -lt 200 ]; }
far_end() { kill $(cat /tmp/far.pid) 2>/dev/null; wait $(cat /tmp/far.pid) 2>/dev/null; true; }
paused() { n=0; while ! grep -q ' PAUSE ' /proc/$1/syscall 2>/dev/null && [ $n -lt 200 ]; do sleep 0.02; n=$((n+1)); done; [ $n -lt 200 ]; }
uptime() { cut -d' ' -f1 /proc/uptime; }
told() { echo "== status $1 $2"; cat /tmp/$3.out; echo '== stderr'; cat /tmp/$3.err; }
""".replace("ACM", ACM).replace("FAR", FAR).replace("PAUSE", hex(PAUSE_HELD_MS))
GADGET = (
    "mount -t configfs none /sys/kernel/config && mkdir $G && "
    "echo 0x1d6b > $G/idVendor && echo 0x0104 > $G/idProduct && mkdir $G/strings/0x409 && "
    "echo vesklo > $G/strings/0x409/manufacturer && echo 'ACM board' > $G/strings/0x409/product && "
    "echo 0001 > $G/strings/0x409/serialnumber && mkdir $G/configs/c.1 $G/functions/acm.usb0 && "
    "ln -s $G/functions/acm.usb0 $G/configs/c.1/ && plug && stty -F " + FAR + " raw -echo")


def md5(data):
    return hashlib.md5(data).hexdigest()


class AcmGuest(Guest):
    """The guest, whose commands a watchdog bounds: one that gets no answer
    within ANSWER_S ends the guest with a message saying which."""

    def run(self, command, timeout=ANSWER_S):
        try:
            return super().run(command, timeout)
        except RuntimeError as e:
            self.stop()
            raise RuntimeError(f"watchdog: the guest gave no answer to {command!r} within "
                               f"{timeout} s and was ended ({e})") from None


def with_standin(initrd, standin, work):
    """The initramfs with the stand-in line and the libraries it loads
    added (a second archive after the first, which the kernel unpacks over
    it). Returns its path."""
    extra = os.path.join(work, "extra")
    shutil.rmtree(extra, ignore_errors=True)
    os.makedirs(extra + os.path.dirname(STANDIN))
    shutil.copy(standin, extra + STANDIN)
    libs = re.findall(r"=> (/\S+)", subprocess.run(["ldd", standin], capture_output=True, text=True).stdout)
    for lib in libs:
        os.makedirs(extra + os.path.dirname(lib), exist_ok=True)
        shutil.copy(lib, extra + lib)
    names = subprocess.run(["find", "."], cwd=extra, capture_output=True, text=True).stdout
    archive = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=extra, input=names.encode(),
                             capture_output=True, check=True).stdout
    path = os.path.join(work, "initrd-acm.gz")
    with open(path, "wb") as f, open(initrd, "rb") as first:
        f.write(first.read() + gzip.compress(archive, 1))
    return path


def start_guest(kernel, initrd, work):
    return AcmGuest(
        ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none",
         "-m", "256", "-kernel", kernel, "-initrd", initrd, "-append", "quiet"]
        + socket_chardevs(work, (("con", "con"),))
        + ["-device", "virtio-serial-pci", "-device", "virtconsole,chardev=con"],
        work, lines=())


def md5_in_guest(guest, path):
    out, _ = guest.run(f"md5sum {path} 2>&1")
    return out.split()[0] if out.split() else ""


def far_reading(guest, tag):
    """Starts the far end reading into /tmp/TAG.far."""
    guest.run(f"cat {FAR} > /tmp/{tag}.far 2>/dev/null & echo $! > /tmp/far.pid")


def far_done(guest, tag, want):
    """Waits until the far end holds want bytes (or 4 s), stops it; returns
    the md5 of what it holds."""
    guest.run(f"size /tmp/{tag}.far {want}; far_end")
    return md5_in_guest(guest, f"/tmp/{tag}.far")


def check_sends(guest, checks, prog):
    header = bytes([0x00, 0x80, (0x8000 + len(prog)) & 0xFF, (0x8000 + len(prog)) >> 8])
    for command, want in ((f"e /data/prog {ACM} -h8000", hispeed(header + prog)),
                          (f"e /data/prog {ACM}", hispeed(prog)),
                          (f"c /data/prog {ACM} -h8000", header + prog),
                          (f"c /data/prog {ACM}", prog),
                          (f"c /data/all256 {ACM} -b57600", bytes(range(256)) * 8)):
        far_reading(guest, "tx")
        out, status = guest.run(f"vesklo {command}")
        got = far_done(guest, "tx", len(want))
        checks.expect(status == 0 and got == md5(want) and "finish!" in out,
                      f"vesklo {command}: the far end gets exactly {len(want)} bytes", f"status {status}, {out!r}")


def background(guest, command, tag):
    """Starts command in the guest with its outputs in /tmp/TAG.out and .err;
    its process id is in $p."""
    guest.run(f"{command} > /tmp/{tag}.out 2> /tmp/{tag}.err & p=$!")


def start_held(guest, command, tag, wait, far=None):
    """Starts command in the guest ($p is the run) and waits with the shell
    command wait until it is where a check wants it; with far, the far end
    reads into /tmp/FAR.far from before the run. A set-up that did not take
    while the run goes on is made again, at most 3 times, saying so; a run
    that ended is a failure of the tool, never retried. Returns whether it
    took."""
    for attempt in range(1, 4):
        if far:
            far_reading(guest, far)
        guest.run("cooked")
        background(guest, command, tag)
        _, status = guest.run(wait)
        if status == 0:
            return True
        _, running = guest.run("kill -0 $p")
        if running != 0 or attempt == 3:
            break
        print(f"the set-up ({wait}) did not take for {command!r}, attempt {attempt} of 3; again")
        guest.run("kill $p; wait $p; far_end")
    return False


def parse_told(text):
    """(status, seconds, output, errors) from what told printed."""
    text = text.replace("\r\n", "\n")
    found = re.search(r"== status (\d+) (\S+)\n(.*)== stderr\n(.*)", text, re.S)
    if not found:
        return -1, 0.0, text, ""
    return int(found.group(1)), float(found.group(2)), found.group(3), found.group(4)


def receive(guest, checks, command, send_file, send_md5, expected_md5, settings=False):
    """A receive from the far end, exact; with settings, the port's
    settings while the run holds it."""
    checks.expect(start_held(guest, f"vesklo {command}", "rx", "held"), f"vesklo {command}: the run holds the port")
    if settings:
        held, _ = guest.run(f"stty -F {ACM} -a")
        checks.expect("speed 115200 baud" in held, "while held, the board's port runs at 115200", held)
        for flag in ("cs7", "crtscts", "-ixon", "-ixoff", "-icanon", "-echo", "-opost", "-isig",
                     "-istrip", "-icrnl", "hupcl"):
            checks.expect(flag in held.split(), f"while held, the board's port has {flag}", held)
    text, _ = guest.run(f"cat {send_file} > {FAR}; t=$(uptime); wait $p; s=$?; "
                        f"told $s $(awk \"BEGIN {{print $(uptime) - $t}}\") rx")
    status, quiet, out, err = parse_told(text)
    got = md5_in_guest(guest, "/tmp/rx.dat")
    checks.expect(status == 0 and got == expected_md5 and md5_in_guest(guest, send_file) == send_md5,
                  f"vesklo {command}: receives exactly", f"status {status}, {out!r} {err!r}")
    checks.expect(quiet >= 2.0, f"vesklo {command}: ends no sooner than 2 s after the last byte ({quiet:.2f} s)")


def check_rates(guest, checks):
    """Every rate is left to the device, which takes any: none is refused,
    and the data arrives exact at each."""
    want = md5(bytes(range(256)) * 8)
    made = []
    for rate in SWEEP:
        far_reading(guest, "rate")
        out, status = guest.run(f"vesklo c /data/all256 {ACM} -b{rate} 2>&1")
        got = far_done(guest, "rate", 2048)
        ok = status == 0 and got == want
        made.append(f"{rate}:{'made' if ok else 'FAILED'}")
        checks.expect(ok, f"{rate} baud is left to the device, and the data arrives exact", out)
    print("rate sweep: " + " ".join(made))


def check_list(guest, checks):
    out, status = guest.run("vesklo --list")
    print("vesklo --list in the ACM guest:\n" + out.rstrip())
    line = next((l for l in out.splitlines() if l.startswith(ACM + "  ")), "")
    checks.expect(status == 0 and "  USB 1d6b:0104  " in line and "  vesklo  ACM board  " in line
                  and "serial 0001" in line and line.rstrip().endswith("driver cdc_acm"),
                  "--list shows the board's ids, names, serial number and driver", out)


UNPLUG = {"gadget": "unplug_gadget", "host controller": "hcd_out"}
PLUG = {"gadget": "plug", "host controller": "hcd_in"}


def unplugged_run(guest, checks, how, what, command, wait, message, tag, far=None):
    """Starts command, waits with the shell command wait ($p is the run; see
    start_held for far), unplugs; checks the run fails with message and one
    reason line naming the hang-up, within 1 s, never 'finish!'. Returns
    whether it did, and the run's output."""
    ready = 0 if start_held(guest, command, tag, wait, far) else 1
    text, _ = guest.run(f"t=$(uptime); {UNPLUG[how]}; wait $p; s=$?; "
                        f"told $s $(awk \"BEGIN {{print $(uptime) - $t}}\") {tag}")
    status, seconds, out, err = parse_told(text)
    reasons = [line for line in err.splitlines() if line.strip()]
    ok = (ready == 0 and status == 1 and message in out and "finish!" not in out and len(reasons) == 1
          and reasons[0].endswith(HUNG_UP) and seconds <= 1.0)
    checks.expect(ok, f"out ({how}) {what}: status 1, {message.strip()!r} and one reason line naming the "
                  f"hang-up within 1 s ({seconds:.2f} s), no 'finish!'",
                  f"set up {'held' if ready == 0 else 'NOT held'}, status {status}, {out!r} {err!r}")
    return ok, out


def check_while_out(guest, checks, how):
    for command, role in ((f"vesklo c /data/prog {ACM}", "destination"),
                          (f"vesklo d {ACM} /tmp/none", "source")):
        text, status = guest.run(f"({command}; s=$?; [ -e {ACM} ] && echo 'a file appeared'; exit $s)")
        checks.expect(status == 1 and f"Can't open {role} file '{ACM}'" in text and NOT_THERE in text
                      and "a file appeared" not in text,
                      f"board out ({how}): a run with it as {role} fails, no file appears in /dev", text)
        guest.run(f"[ -c {ACM} ] || rm -f {ACM}")


def replug(guest, how):
    _, status = guest.run(f"gone {ACM}; {PLUG[how]}")
    if status != 0:
        raise RuntimeError(f"the board did not come back after the {how} was bound again")


def check_unplugs(guest, checks, prog, how, phases):
    """The board pulled out in each of phases, then plugged back."""
    wrote = f"\nCan't write destination file '{ACM}'\n"
    read = f"\nCan't read source file '{ACM}'\n"
    if "first" in phases:
        unplugged_run(guest, checks, how, "before the first byte", f"vesklo d {ACM} /tmp/ua.dat", "held",
                      read, "ua")
        check_while_out(guest, checks, how)
        replug(guest, how)
        far_reading(guest, "back")
        out, status = guest.run(f"vesklo c /data/prog {ACM}")
        checks.expect(status == 0 and far_done(guest, "back", len(prog)) == md5(prog),
                      f"plugged back ({how}), a send works", out)
    if "receive" in phases:
        unplugged_run(guest, checks, how, "mid-receive", f"vesklo c {ACM} /tmp/ub.dat",
                      f"held && cat /data/prog > {FAR} && size /tmp/ub.dat {len(prog)}", read, "ub")
        kept = md5_in_guest(guest, "/tmp/ub.dat")
        checks.expect(kept == md5(prog), f"out ({how}) mid-receive: the bytes received before it are kept")
        replug(guest, how)
    if "send" in phases:
        # The far end reads nothing: the run blocks once the driver's
        # buffers are full.
        unplugged_run(guest, checks, how, "mid-send", f"vesklo c /tmp/big {ACM}",
                      f"written $p {2 * DRAIN_SEND}", wrote, "uc")
        replug(guest, how)
    if "send read" in phases:
        # The far end reads (with it open the kernel would hang when the
        # host controller comes back: the gadget only). What it holds is
        # what the tool wrote, once and in order, up to where the line
        # went: no more than the chunks the tool showed as sent, and the
        # start of the file.
        _, out = unplugged_run(guest, checks, how, "mid-send, the far end reading", f"vesklo c /tmp/big {ACM}",
                               f"written $p {BIG // 4}", wrote, "uf", far="uf")
        guest.run("far_end")
        text, _ = guest.run("wc -c < /tmp/uf.far; cmp /tmp/uf.far /tmp/big")
        got = int(text.split()[0]) if text.split() and text.split()[0].isdigit() else -1
        checks.expect(0 < got <= out.count(".") * 2048 and "differ" not in text,
                      f"out ({how}) mid-send: the far end holds the start of the file, no byte twice "
                      f"({got} bytes, {out.count('.')} chunks written)", text)
        replug(guest, how)
    if "pause" in phases:
        # The far end reads all and closes (with it open, the kernel hangs
        # when the host controller comes back); the stand-in holds the
        # pause after the drain open, and the board goes while the run
        # waits in it.
        unplugged_run(guest, checks, how, "in the pause after the drain",
                      f"LD_PRELOAD={STANDIN} VESKLO_STANDIN_PAUSE_MS={PAUSE_HELD_MS} vesklo c /data/prog {ACM}",
                      f"size /tmp/pa.far {len(prog)} && far_end && paused $p", wrote, "ue", far="pa")
        replug(guest, how)
    if "drain" in phases:
        passed = 0
        for _ in range(DRAIN_RUNS):
            passed += unplugged_run(guest, checks, how, "in the drain at close", f"vesklo c /tmp/s16k {ACM}",
                                    f"written $p {DRAIN_SEND + DRAIN_SEND // 2048}", wrote, "ud")[0]
            replug(guest, how)
        print(f"out ({how}) in the drain: {passed} of {DRAIN_RUNS} runs failed as they should")


def main():
    kernel, initrd, work = sys.argv[1:4]
    standin = sys.argv[4] if len(sys.argv) > 4 else os.path.join(
        os.path.dirname(os.path.abspath(initrd)), "..", "tests", "libline_standin.so")
    prog = pattern(3000)
    checks = Checks()
    started = time.monotonic()
    if not os.path.exists(standin):
        checks.expect(False, "the stand-in line is there", f"no {standin}; 'make' builds it")
        checks.finish()
    initrd = with_standin(initrd, standin, work)
    guest = start_guest(kernel, initrd, work)
    # The last resort: a guest that hangs in a way no command notices.
    watchdog = threading.Timer(240, lambda: (print("watchdog: the ACM guest ran 240 s; ended it"),
                                             guest.stop()))
    watchdog.daemon = True
    watchdog.start()
    try:
        for line in HELPERS.strip().splitlines():
            guest.run(line)
        _, status = guest.run(GADGET)
        if status != 0:
            raise RuntimeError("the gadget could not be made and bound")
        print(f"guest booted, board in, in {time.monotonic() - started:.1f} s")
        guest.run(f"dd if=/dev/urandom of=/tmp/big bs=65536 count={BIG // 65536} 2>/dev/null; "
                  f"dd if=/dev/zero of=/tmp/s16k bs=2048 count={DRAIN_SEND // 2048} 2>/dev/null; "
                  "vesklo e /data/prog /tmp/prog.hs > /dev/null")
        check_sends(guest, checks, prog)
        check_list(guest, checks)
        receive(guest, checks, f"d {ACM} /tmp/rx.dat", "/tmp/prog.hs", md5(hispeed(prog)), md5(prog),
                settings=True)
        receive(guest, checks, f"c {ACM} /tmp/rx.dat", "/data/prog", md5(prog), md5(prog))
        at = time.monotonic()
        check_rates(guest, checks)
        print(f"the rate sweep took {time.monotonic() - at:.1f} s")
        for how, phases in (("gadget", ("first", "receive", "send", "send read", "pause", "drain")),
                            ("host controller", ("first", "receive", "send", "pause", "drain"))):
            at = time.monotonic()
            check_unplugs(guest, checks, prog, how, phases)
            print(f"the unplugs by the {how} took {time.monotonic() - at:.1f} s")
    except RuntimeError as e:
        checks.expect(False, "the guest answered", str(e))
    finally:
        watchdog.cancel()
        guest.stop()
    print(f"ACM guest suite took {time.monotonic() - started:.1f} s")
    checks.finish()


if __name__ == "__main__":
    main()
