#!/bin/sh
# The x86 guest suites (16550 UARTs, USB serial adapters), where QEMU and the
# guest's parts can be had; otherwise one line saying what is missing and
# how to get it.
#
#   run.sh BUILD_DIR SKIPPED_LIST image    builds the guest's kernel and initramfs
#   run.sh BUILD_DIR SKIPPED_LIST SUITE    boots them for SUITE.py
#
# The suites run side by side on one image, each in a folder of its own.
set -eu
build=$(cd "$1" && pwd)
skipped=$2
what=$3
here=$(cd "$(dirname "$0")" && pwd)
guest=$build/guest
skip() {
    echo "guest suites: skipped ($1; 'make deps' brings qemu-system-x86, busybox-static and cpio)"
    echo "the QEMU guest suites ($1)" >> "$skipped"
    exit 0
}
if [ "$what" = image ]; then
    rm -f "$guest/kernel"
    for tool in qemu-system-x86_64 busybox cpio apt-get dpkg-deb; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool missing"
    done
    kernel=$(sh "$here/build_guest.sh" "$build/vesklo" "$guest") || skip "no kernel package could be fetched"
    echo "$kernel" > "$guest/kernel"
    exit 0
fi
# Without an image, the image step has said why.
[ -f "$guest/kernel" ] || exit 0
mkdir -p "$guest/$what"
python3 "$here/$what.py" "$(cat "$guest/kernel")" "$guest/initrd.gz" "$guest/$what"
