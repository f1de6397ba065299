#!/bin/sh
# Builds what the guest suites boot on one kernel: Debian's kernel from
# PACKAGE (a linux-image package, or the metapackage that names one) of the
# release FROM ("-" for the machine's own package lists), fetched with
# apt-get download and unpacked with dpkg-deb, not installed (kernel.sh),
# and an initramfs holding busybox-static, the tool built from the tree with
# the libraries it loads, the kernel's modules that the guests load, test
# data and the init script.
#
#   build_guest.sh VESKLO OUT_DIR PACKAGE FROM
#
# Writes OUT_DIR/IMAGE/vmlinuz (a link into the cache) and initrd.gz, IMAGE
# being the kernel's package, and prints that folder. Status 2 when the
# kernel could not be downloaded.
#
# The kernel is cached outside the tree (VESKLO_GUEST_CACHE, else
# /var/cache/vesklo-guest for root, else ~/.cache/vesklo-guest).
set -eu
vesklo=$1
out=$2
package=$3
from=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kernel.sh"
mkdir -p "$out"

kernel_of "$package" "$from" amd64
# The modules the guests load beyond the kernel: the virtio console, the
# USB host controller with the FTDI adapter's driver, and the dummy host
# and device controller with the gadget framework's ACM function and the
# host's CDC-ACM driver (a board with native USB), FunctionFS and the
# drivers of the chips it plays (CH340, CP2102, PL2303); module_order.py adds
# what they depend on and leaves out what the kernel has built in.
kernel_fetch amd64 "$kdir" "" virtio_pci virtio_console xhci_pci ftdi_sio dummy_hcd \
    libcomposite usb_f_acm cdc_acm usb_f_fs ch341 cp210x pl2303 || exit $?

out=$out/$(basename "$kdir")
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
initramfs_pack "$root" "$out"
