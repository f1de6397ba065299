#!/bin/sh
# Builds what the guest suites boot on one kernel: Debian's kernel from
# PACKAGE (a linux-image package, or the metapackage that names one; fetched
# with apt-get download and unpacked with dpkg-deb, not installed) and an
# initramfs holding busybox-static, the tool built from the tree with the
# libraries it loads, the kernel's modules that the guests load, test data
# and the init script.
#
#   build_guest.sh VESKLO PACKAGE OUT_DIR
#
# Writes OUT_DIR/IMAGE/vmlinuz (a link into the cache) and initrd.gz, IMAGE
# being the kernel's package, and prints that folder.
#
# The kernel is cached outside the tree (VESKLO_GUEST_CACHE, else
# /var/cache/vesklo-guest for root, else ~/.cache/vesklo-guest).
set -eu
vesklo=$1
package=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${VESKLO_GUEST_CACHE:-}" ]; then cache=$VESKLO_GUEST_CACHE
elif [ "$(id -u)" = 0 ]; then cache=/var/cache/vesklo-guest
else cache=$HOME/.cache/vesklo-guest; fi
mkdir -p "$cache" "$out"

apt-cache show "$package" >/dev/null 2>&1 || { echo "no $package in the package lists (apt-get update?)" >&2; exit 1; }
image=$(apt-cache depends "$package" 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
image=${image:-${package%%[/=]*}}
kdir=$cache/$image
# The modules the guests load beyond the kernel: the virtio console, the
# USB host controller with the FTDI adapter's driver, and the dummy host
# and device controller with the gadget framework's ACM function and the
# host's CDC-ACM driver (a board with native USB), FunctionFS and the
# drivers of the chips it plays (CH340, CP2102, PL2303); module_order.py adds
# what they depend on. The cache keeps only these files and the kernel; a
# cache that lacks one is filled from the package again.
modules="virtio_pci virtio_console xhci_pci ftdi_sio dummy_hcd libcomposite usb_f_acm cdc_acm
    usb_f_fs ch341 cp210x pl2303"
if [ ! -f "$kdir/vmlinuz" ] || ! python3 "$here/module_order.py" "$kdir" $modules >/dev/null 2>&1; then
    tmp=$cache/$image.tmp.$$
    rm -rf "$tmp" && mkdir -p "$tmp"
    (cd "$tmp" && apt-get download "$image" >/dev/null 2>&1) ||
        { rm -rf "$tmp"; echo "cannot download $image" >&2; exit 1; }
    dpkg-deb -x "$tmp/$image"_*.deb "$tmp/x"
    mkdir -p "$kdir"
    # Each file is put in place whole (a rename), so that a guest being
    # built meanwhile from the same cache never reads half a file.
    for f in "$tmp"/x/boot/vmlinuz-* $(python3 "$here/module_order.py" "$tmp/x/lib/modules" $modules); do
        name=$(basename "$f")
        case $name in vmlinuz-*) name=vmlinuz ;; esac
        cp "$f" "$kdir/.$name.$$" && mv "$kdir/.$name.$$" "$kdir/$name"
    done
    rm -rf "$tmp"
fi

out=$out/$image
root=$out/root
rm -rf "$root"
mkdir -p "$root/bin" "$root/lib/modules" "$root/data" "$root/dev" "$root/proc" "$root/sys" "$root/tmp"
cp "$(command -v busybox)" "$root/bin/busybox"
cp "$vesklo" "$root/bin/vesklo"
# The program that plays USB serial chips to their drivers (chip_suite.py).
gcc -static -O2 -o "$root/bin/chip_gadget" "$here/chip_gadget.c" -lpthread
# The libraries the tool loads, at the paths it loads them from.
ldd "$vesklo" | awk '/=>/ {print $3} /^\t\/.*ld-linux/ {print $1}' | while read -r lib; do
    [ -f "$lib" ] || continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
done
# The modules in an order that insmod can load them in, for init.
for f in $(python3 "$here/module_order.py" "$kdir" $modules); do
    cp "$f" "$root/lib/modules/"
    basename "$f" >> "$root/lib/modules/load-order"
done
python3 "$here/guest_data.py" "$root/data"
cp "$here/init" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out/initrd.gz"
ln -sf "$kdir/vmlinuz" "$out/vmlinuz"
echo "$out"
