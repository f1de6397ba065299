#!/bin/sh
# The ARM guest suite (the PL011 on QEMU's virt machine and Raspberry Pi 3B)
# on each arm64 kernel of ./kernels, where QEMU, the arm64 build and the
# guest's parts can be had; otherwise one line saying what is missing and
# how to get it.
#
#   run_arm.sh BUILD_DIR ARM64_VESKLO ARMHF_VESKLO [SKIPPED_LIST]
#
# The armhf build runs there too where it has been built.
set -eu
build=$(cd "$1" && pwd)
vesklo=$2
armhf=$3
skipped=${4:-/dev/null}
here=$(cd "$(dirname "$0")" && pwd)
skip() {
    echo "ARM guest suite: skipped ($1; 'make deps' brings qemu-system-arm, device-tree-compiler, the ARM cross compilers and the arm64 package lists)"
    echo "the ARM guest suite ($1)" >> "$skipped"
    exit 0
}
for tool in qemu-system-aarch64 fdtput readelf cpio apt-get dpkg-deb flock; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool missing"
done
[ -f "$vesklo" ] || skip "no arm64 build"
[ -f "$armhf" ] || armhf=""
. "$here/kernel.sh"
mkdir -p "$build/arm-guest/run"
guest_images arm64 "the ARM guest suite" "$here/build_arm_guest.sh" "$vesklo" "$armhf" "$build/arm-guest"
[ -n "$images" ] || exit 0
python3 "$here/arm_suite.py" "$build/arm-guest/run" $images
