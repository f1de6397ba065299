#!/usr/bin/env python3
"""A board with native USB: the kernel's own CDC-ACM driver (cdc_acm) makes
/dev/ttyACM0 of a USB gadget with an ACM function on the dummy host
controller (dummy_hcd, which joins a host and a device controller inside
the guest). The gadget's end of the line is /dev/ttyGS0, read and written
by busybox. Unbinding the gadget from the device controller pulls the
board out; unbinding the host controller (dummy_hcd.0) removes the host
side. The stand-in line (libline_standin.so, from the build that holds the
image's folder, or VESKLO_STANDIN) holds the pause before a close open
while the board is pulled out.

    acm_suite.py WORKDIR IMAGE..."""
import gzip
import os
import re
import shutil
import subprocess

from guest_lib import FIRST, RECEIVING, WRITE, Boot, Phase, Row, main, md5

ACM, FAR = "/dev/ttyACM0", "/dev/ttyGS0"
STANDIN, PAUSE_HELD_MS = "/lib/vesklo/libline_standin.so", 5000
BIG, DRAIN_SEND = 1 << 20, 16384
# The guest's helpers. plug binds the gadget to the device controller and
# waits for both ends; hcd_out and hcd_in unbind and bind the host
# controller. written: process $1 has written $2 bytes (its output
# included); paused: process $1 sleeps in the pause the stand-in holds (poll
# with its time-out); far_end stops the far end's reader.
SETUP = tuple(line.replace("@ACM", ACM).replace("@FAR", FAR).replace("@PAUSE", hex(PAUSE_HELD_MS)) for line in (
    "G=/sys/kernel/config/usb_gadget/vesklo; HCD=/sys/bus/platform/drivers/dummy_hcd",
    "plug() { echo dummy_udc.0 > $G/UDC && upto 10 '[ -c @ACM ] && [ -c @FAR ]'; }",
    "hcd_out() { echo dummy_hcd.0 > $HCD/unbind; }",
    "hcd_in() { echo dummy_hcd.0 > $HCD/bind && upto 10 '[ -c @ACM ]'; }",
    "written() { [ \"$(awk '/^wchar/ {print $2}' /proc/$1/io 2>/dev/null || echo 0)\" -ge $2 ]; }",
    "paused() { grep -q ' @PAUSE ' /proc/$1/syscall 2>/dev/null; }",
    "far_end() { kill $(cat /tmp/far.pid) 2>/dev/null; wait $(cat /tmp/far.pid) 2>/dev/null; true; }",
    "mount -t configfs none /sys/kernel/config && mkdir $G && echo 0x1d6b > $G/idVendor && "
    "echo 0x0104 > $G/idProduct && mkdir $G/strings/0x409 && echo vesklo > $G/strings/0x409/manufacturer && "
    "echo 'ACM board' > $G/strings/0x409/product && echo 0001 > $G/strings/0x409/serialnumber && "
    "mkdir $G/configs/c.1 $G/functions/acm.usb0 && ln -s $G/functions/acm.usb0 $G/configs/c.1/ && plug && "
    "stty -F @FAR raw -echo"))


def with_standin(image, work):
    """The image's initramfs with the stand-in line and the libraries it
    loads added (a second archive, which the kernel unpacks over the first)."""
    standin = os.environ.get("VESKLO_STANDIN") or os.path.join(image, "..", "..", "tests", "libline_standin.so")
    if not os.path.exists(standin):
        raise RuntimeError(f"no stand-in line at {standin}; 'make' builds it")
    extra = os.path.join(work, "extra")
    shutil.rmtree(extra, ignore_errors=True)
    os.makedirs(extra + os.path.dirname(STANDIN))
    shutil.copy(standin, extra + STANDIN)
    for lib in re.findall(r"=> (/\S+)", subprocess.run(["ldd", standin], capture_output=True, text=True).stdout):
        os.makedirs(extra + os.path.dirname(lib), exist_ok=True)
        shutil.copy(lib, extra + lib)
    names = subprocess.run(["find", "."], cwd=extra, capture_output=True, text=True).stdout
    archive = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=extra, input=names.encode(),
                             capture_output=True, check=True).stdout
    path = os.path.join(work, "initrd-acm.gz")
    with open(path, "wb") as f, open(os.path.join(image, "initrd.gz"), "rb") as first:
        f.write(first.read() + gzip.compress(archive, 1))
    return path


class GadgetFar:
    """The gadget's end: cat reads it into /tmp/far.dat, or writes a file
    into it."""

    def start(self, h):
        # What a send cut while the reader lagged left queued in the gadget
        # comes out ahead of the next bytes to arrive: a newline is sent to
        # bring it out, and it is read away until the line is quiet (0.5 s).
        if getattr(h, "far_left", False):
            h.run(f"stty -F {FAR} min 0 time 5; cat {FAR} > /dev/null & c=$!; "
                  f"upto 5 'ls -l /proc/'$c'/fd | grep -q ttyGS0'; echo > {ACM}; wait $c; stty -F {FAR} min 1 time 0")
        h.far_left = False
        h.run(f"cat {FAR} > /tmp/far.dat 2>/dev/null & echo $! > /tmp/far.pid")

    def got(self, h, want):
        out, _ = h.run(f"upto 4 'holds /tmp/far.dat {len(want)}'; far_end; md5sum /tmp/far.dat; wc -c < /tmp/far.dat")
        return out.split()[:1] == [md5(want)], f"{out.split()[-1:]} of {len(want)} bytes"

    def send(self, h, name, rate):
        # The time is read before the last byte is written, so that it is
        # never after that byte reached the host, however the guest is
        # loaded: all but the last byte, the time, then the last byte.
        return float(h.run(f"f=/data/{name}; head -c $(($(wc -c < $f) - 1)) $f > {FAR}; t=$(up); "
                           f"tail -c 1 $f > {FAR}; echo $t")[0].split()[-1])

    def finish(self, h):
        pass


def far_holds_start(h, tag, out, what):
    """The far end reading, a send cut: it holds what the tool wrote, once
    and in order, up to where the line went: no more than the chunks the
    tool showed as sent, and the start of the file."""
    text, _ = h.run(f"far_end; wc -c < /tmp/far.dat; cmp /tmp/far.dat /tmp/r{BIG}")
    h.far_left = True
    got = int(text.split()[0]) if text.split() and text.split()[0].isdigit() else -1
    h.check(0 < got <= out.count(".") * 2048 and "differ" not in text,
            f"{what}: the far end holds the start of the file, no byte twice ({got} bytes, "
            f"{out.count('.')} chunks written)", text)


# The far end reads nothing: the run blocks once the driver's buffers are
# full (16 of them, each a write of the tool's 2048 bytes), or, with 16 KiB,
# waits in the drain at close. Each drain-phase unplug is run 10 times: the
# hang-up comes from the kernel's queued work, and one run proves little.
MID_SEND = Phase("mid-send", f"vesklo c /tmp/r{BIG} {{port}}", f"written {{pid}} {2 * DRAIN_SEND}", WRITE)
DRAIN = Phase("in the drain at close", f"vesklo c /tmp/r{DRAIN_SEND} {{port}}",
              f"written {{pid}} {DRAIN_SEND + DRAIN_SEND // 2048}", WRITE, runs=10)
# The far end reads (with it open the kernel hangs when the host controller
# comes back: the gadget only).
READ_SEND = Phase("mid-send, the far end reading", f"vesklo c /tmp/r{BIG} {{port}}", f"written {{pid}} {BIG // 4}",
                  WRITE, prepare=lambda h, tag: h.row.far.start(h), after=far_holds_start)
# The far end reads all and closes; the stand-in holds the pause after the
# drain open, and the board goes while the run waits in it.
PAUSE = Phase("in the pause after the drain",
              f"LD_PRELOAD={STANDIN} VESKLO_STANDIN_PAUSE_MS={PAUSE_HELD_MS} vesklo c /data/prog {{port}}",
              "holds /tmp/far.dat 3000 && far_end && paused {pid}", WRITE, prepare=lambda h, tag: h.row.far.start(h))


def unplug(command):
    return lambda h: float(h.run(f"t=$(up); {command}; echo $t")[0].split()[-1])


ROWS = [Row(
    name="cdc_acm", dev=ACM, timing=True, far=GadgetFar(), release=lambda h: h.run("far_end"),
    boot=Boot("cdc_acm", lambda kernel, initrd, work: [
        "qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none", "-m", "256", "-kernel", kernel,
        "-initrd", initrd, "-append", "quiet", "-device", "virtio-serial-pci", "-device", "virtconsole,chardev=con"],
        setup=SETUP, initrd=with_standin),
    # The device takes whatever rate it is given; odd ones among them.
    model=lambda rate, had: (rate, None, None), sweep_file="all256",
    rates=(50, 75, 110, 300, 1200, 31250, 74880, 100000, 115200, 250000, 921600, 1000000, 3000000, 12000000),
    listed=(rf"{ACM}  USB 1d6b:0104  vesklo  ACM board  serial 0001  driver cdc_acm",), unlisted="/dev/",
    files=(BIG, DRAIN_SEND),
    ways=(("gadget", unplug("echo '' > $G/UDC"), lambda h: h.run("plug"),
           (FIRST, RECEIVING, MID_SEND, READ_SEND, PAUSE, DRAIN)),
          ("host controller", unplug("hcd_out"), lambda h: h.run("hcd_in"), (FIRST, RECEIVING, MID_SEND, PAUSE, DRAIN))))]

if __name__ == "__main__":
    main(ROWS)
