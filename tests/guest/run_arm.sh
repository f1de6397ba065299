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
images=""
mkdir -p "$build/arm-guest/run"
kernel_entries arm64 > "$build/arm-guest/entries"
while read -r package from rows; do
    status=0
    image=$(sh "$here/build_arm_guest.sh" "$vesklo" "$armhf" "$package" "$from" "$build/arm-guest" < /dev/null) || status=$?
    case $status in
    0) echo "$rows" > "$image/rows"; images="$images $image" ;;
    2) echo "ARM guest suite on $package: skipped (it or busybox could not be downloaded)"
       echo "the ARM guest suite on $package (its download failed; a later run fetches it)" >> "$skipped" ;;
    *) echo "ARM guest suite: the image on $package could not be built"; exit 1 ;;
    esac
done < "$build/arm-guest/entries"
[ -n "$images" ] || exit 0
python3 "$here/arm_suite.py" "$build/arm-guest/run" $images
