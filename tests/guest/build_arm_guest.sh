#!/bin/sh
# Builds what the ARM guest suite boots on one kernel: Debian's arm64 kernel
# from PACKAGE (a linux-image package, or the metapackage that names one)
# with the Raspberry Pi 3B's device tree from it, and busybox-static for arm64, both fetched with apt-get download
# and unpacked with dpkg-deb, not installed; and an initramfs holding
# busybox, the arm64 build of the tool and the armhf one (run by the arm64
# kernel's 32-bit compat layer) with the C libraries of their cross
# compilers, the virtio console modules, test data and init.
#
#   build_arm_guest.sh ARM64_VESKLO ARMHF_VESKLO PACKAGE OUT_DIR  ("" for no armhf)
#
# Writes OUT_DIR/IMAGE/vmlinuz (a link into the cache), initrd.gz and
# rpi3b.dtb, the Pi's device tree without the Bluetooth modem that the Pi
# wires to its PL011 (its driver would take the port: /dev/ttyAMA0 would
# not appear), IMAGE being the kernel's package, and prints that folder.
# Downloads are cached as build_guest.sh caches the x86 kernel.
set -eu
vesklo=$1
armhf=$2
package=$3
out=$4
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${VESKLO_GUEST_CACHE:-}" ]; then cache=$VESKLO_GUEST_CACHE
elif [ "$(id -u)" = 0 ]; then cache=/var/cache/vesklo-guest
else cache=$HOME/.cache/vesklo-guest; fi
mkdir -p "$cache" "$out"

# Fetches package (an arm64 one) into the cache folder dir once, keeping the
# files at the paths (shell patterns inside the package) that follow, each
# under its base name. A folder is complete or absent: it is filled under
# another name and renamed.
fetch() {
    package=$1 dir=$2
    shift 2
    [ -d "$dir" ] && return 0
    tmp=$dir.tmp.$$
    rm -rf "$tmp" && mkdir -p "$tmp/x"
    (cd "$tmp" && apt-get download "$package" >/dev/null 2>&1) ||
        { rm -rf "$tmp"; echo "cannot download $package" >&2; return 1; }
    dpkg-deb -x "$tmp"/*.deb "$tmp/x"
    for path in "$@"; do
        for found in "$tmp"/x/$path; do
            [ -f "$found" ] || { rm -rf "$tmp"; echo "no $path in $package" >&2; return 1; }
            cp "$found" "$tmp/"
        done
    done
    rm -rf "$tmp/x" "$tmp"/*.deb
    mv "$tmp" "$dir"
}

apt-cache show "$package:arm64" >/dev/null 2>&1 ||
    { echo "no $package:arm64 in the package lists (dpkg --add-architecture arm64; apt-get update)" >&2; exit 1; }
image=$(apt-cache depends "$package:arm64" 2>/dev/null | awk '/Depends: linux-image-/ {sub(/:arm64$/, "", $2); print $2; exit}')
image=${image:-${package%%[/=]*}}
bbver=$(apt-cache show busybox-static:arm64 2>/dev/null | awk '/^Version:/ {print $2; exit}')
[ -n "$bbver" ] || { echo "no busybox-static:arm64 in the package lists" >&2; exit 1; }
kdir=$cache/$image
bdir=$cache/busybox-static_${bbver}_arm64
fetch "$image:arm64" "$kdir" "boot/vmlinuz-*" "usr/lib/linux-image-*/broadcom/bcm2837-rpi-3-b.dtb" \
    "lib/modules/*/kernel/drivers/virtio/virtio_mmio.ko" "lib/modules/*/kernel/drivers/char/virtio_console.ko"
fetch "busybox-static:arm64=$bbver" "$bdir" bin/busybox

out=$out/$image
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
for m in virtio_mmio virtio_console; do
    cp "$kdir/$m.ko" "$root/lib/modules/"
    echo "$m.ko" >> "$root/lib/modules/load-order"
done
python3 "$here/guest_data.py" "$root/data"
cp "$here/init" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out/initrd.gz"
ln -sf "$(ls "$kdir"/vmlinuz-*)" "$out/vmlinuz"
echo "$out"
