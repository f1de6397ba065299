#!/bin/sh
# Builds what the ARM guest suite boots on one kernel: Debian's arm64 kernel
# from PACKAGE (a linux-image package, or the metapackage that names one)
# with the Raspberry Pi 3B's device tree from it (kernel.sh), and
# busybox-static for arm64, both fetched with apt-get download and unpacked
# with dpkg-deb, not installed; and an initramfs holding
# busybox, the arm64 build of the tool and the armhf one (run by the arm64
# kernel's 32-bit compat layer) with the C libraries of their cross
# compilers, the virtio console modules, test data and init.
#
#   build_arm_guest.sh ARM64_VESKLO ARMHF_VESKLO OUT_DIR PACKAGE FROM  ("" for no armhf)
#
# FROM is the release PACKAGE comes from, as for build_guest.sh. Writes
# OUT_DIR/IMAGE/vmlinuz (a link into the cache), initrd.gz and
# rpi3b.dtb, the Pi's device tree without the Bluetooth modem that the Pi
# wires to its PL011 (its driver would take the port: /dev/ttyAMA0 would
# not appear), IMAGE being the kernel's package, and prints that folder.
# Downloads are cached as build_guest.sh caches the x86 kernel; status 2
# when one failed.
set -eu
vesklo=$1
armhf=$2
out=$3
package=$4
from=$5
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kernel.sh"
mkdir -p "$out"

# busybox for arm64 from the machine's own lists, fetched once.
bbver=$(apt-cache show busybox-static:arm64 2>/dev/null | awk '/^Version:/ {print $2; exit}')
[ -n "$bbver" ] || { echo "no busybox-static:arm64 in the package lists" >&2; exit 2; }
bdir=$cache/busybox-static_${bbver}_arm64
if [ ! -f "$bdir/busybox" ]; then
    tmp=$bdir.tmp.$$
    rm -rf "$tmp" && mkdir -p "$tmp/x"
    (cd "$tmp" && apt-get -o APT::Sandbox::User=root download "busybox-static:arm64=$bbver" >/dev/null 2>&1) ||
        { rm -rf "$tmp"; echo "cannot download busybox-static:arm64" >&2; exit 2; }
    dpkg-deb -x "$tmp"/*.deb "$tmp/x"
    mv "$tmp/x/bin/busybox" "$tmp/busybox" && rm -rf "$tmp/x" "$tmp"/*.deb && mv "$tmp" "$bdir"
fi

kernel_of "$package" "$from" arm64
kernel_fetch arm64 "$kdir" "*/broadcom/bcm2837-rpi-3-b.dtb" virtio_mmio virtio_console ||
    exit $?

out=$out/$(basename "$kdir")
root=$out/root
mkdir -p "$out"
cp "$kdir/bcm2837-rpi-3-b.dtb" "$out/rpi3b.dtb"
fdtput -r "$out/rpi3b.dtb" /soc/serial@7e201000/bluetooth

rm -rf "$root"
mkdir -p "$root/bin" "$root/lib/modules" "$root/data" "$root/dev" "$root/proc" "$root/sys" "$root/tmp"
cp "$bdir/busybox" "$root/bin/busybox"
# Each build with the loader and the libraries it names, from its cross
# compiler's C library, where its loader looks for them.
add_tool() {
    tool=$1 name=$2 triplet=$3 loader=$4
    cp "$tool" "$root/bin/$name"
    mkdir -p "$root/lib/$triplet"
    cp -L "/usr/$triplet/lib/$loader" "$root/lib/$loader"
    for lib in $(readelf -d "$tool" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        cp -L "/usr/$triplet/lib/$lib" "$root/lib/$triplet/$lib" ||
            { echo "no $lib in /usr/$triplet/lib" >&2; exit 1; }
    done
}
add_tool "$vesklo" vesklo aarch64-linux-gnu ld-linux-aarch64.so.1
[ -z "$armhf" ] || add_tool "$armhf" vesklo-armhf arm-linux-gnueabihf ld-linux-armhf.so.3
initramfs_pack "$root" "$out"
