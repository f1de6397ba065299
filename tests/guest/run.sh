#!/bin/sh
# The guest suites (16550 UARTs, a USB serial adapter), where QEMU and the
# guest's parts can be had; otherwise one line saying what is missing and
# how to get it.
#
#   run.sh BUILD_DIR [SKIPPED_LIST]
set -eu
build=$(cd "$1" && pwd)
skipped=${2:-/dev/null}
here=$(cd "$(dirname "$0")" && pwd)
skip() {
    echo "guest suite: skipped ($1; 'make deps' brings qemu-system-x86, busybox-static and cpio)"
    echo "the QEMU guest suite ($1)" >> "$skipped"
    exit 0
}
for tool in qemu-system-x86_64 busybox cpio apt-get dpkg-deb; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool missing"
done
kernel=$(sh "$here/build_guest.sh" "$build/vesklo" "$build/guest") || skip "no kernel package could be fetched"
mkdir -p "$build/guest/run" "$build/guest/run-usb"
# Both guests run even when the first fails.
status=0
python3 "$here/guest_suite.py" "$kernel" "$build/guest/initrd.gz" "$build/guest/run" || status=1
python3 "$here/usb_suite.py" "$kernel" "$build/guest/initrd.gz" "$build/guest/run-usb" || status=1
mkdir -p "$build/guest/run-chip" && python3 "$here/chip_suite.py" "$kernel" "$build/guest/initrd.gz" "$build/guest/run-chip" || status=1
exit $status
