#!/bin/sh
# The x86 guest suites, where QEMU and the guest's parts can be had;
# otherwise one line saying what is missing and how to get it.
#
#   run.sh BUILD_DIR SKIPPED_LIST image    builds a kernel and initramfs for
#                                          each amd64 kernel of ./kernels
#   run.sh BUILD_DIR SKIPPED_LIST SUITE    runs SUITE.py on each of them
#
# The suites run side by side on the images, each in a folder of its own.
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
    rm -f "$guest/images"
    for tool in qemu-system-x86_64 busybox cpio apt-get dpkg-deb flock; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool missing"
    done
    . "$here/kernel.sh"
    newer_kernels
    guest_images amd64 "the x86 guest suites" "$here/build_guest.sh" "$build/vesklo" "$guest"
    echo $images > "$guest/images"
    exit 0
fi
# Without images, the image step has said why.
[ -s "$guest/images" ] || exit 0
mkdir -p "$guest/$what"
python3 "$here/$what.py" "$guest/$what" $(cat "$guest/images")
