#!/bin/sh
# Builds what the guest suite boots: Debian's kernel (the package that
# linux-image-amd64 depends on, fetched with apt-get download and unpacked
# with dpkg-deb, not installed) and an initramfs holding busybox-static,
# the tool built from the tree with the libraries it loads, the virtio
# console modules, test data and the init script.
#
#   build_guest.sh VESKLO OUT_DIR     prints the kernel's path on success
#
# The kernel is cached outside the tree (VESKLO_GUEST_CACHE, else
# /var/cache/vesklo-guest for root, else ~/.cache/vesklo-guest).
set -eu
vesklo=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${VESKLO_GUEST_CACHE:-}" ]; then cache=$VESKLO_GUEST_CACHE
elif [ "$(id -u)" = 0 ]; then cache=/var/cache/vesklo-guest
else cache=$HOME/.cache/vesklo-guest; fi
mkdir -p "$cache" "$out"

image=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
[ -n "$image" ] || { echo "no linux-image-amd64 in the package lists (apt-get update?)" >&2; exit 1; }
kdir=$cache/$image
modules="virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console"
if [ ! -f "$kdir/vmlinuz" ]; then
    (cd "$cache" && apt-get download "$image" >/dev/null 2>&1) ||
        { echo "cannot download $image" >&2; exit 1; }
    rm -rf "$kdir.tmp" && mkdir -p "$kdir.tmp/x"
    dpkg-deb -x "$cache/$image"_*.deb "$kdir.tmp/x"
    cp "$kdir.tmp"/x/boot/vmlinuz-* "$kdir.tmp/vmlinuz"
    for m in $modules; do
        find "$kdir.tmp/x/lib/modules" -name "$m.ko" -exec cp {} "$kdir.tmp/" \;
    done
    rm -rf "$kdir.tmp/x" "$cache/$image"_*.deb
    rm -rf "$kdir" && mv "$kdir.tmp" "$kdir"
fi

root=$out/root
rm -rf "$root"
mkdir -p "$root/bin" "$root/lib/modules" "$root/data" "$root/dev" "$root/proc" "$root/sys" "$root/tmp"
cp "$(command -v busybox)" "$root/bin/busybox"
cp "$vesklo" "$root/bin/vesklo"
# The libraries the tool loads, at the paths it loads them from.
ldd "$vesklo" | awk '/=>/ {print $3} /^\t\/.*ld-linux/ {print $1}' | while read -r lib; do
    [ -f "$lib" ] || continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
done
for m in $modules; do cp "$kdir/$m.ko" "$root/lib/modules/"; done
python3 "$here/guest_data.py" "$root/data"
cp "$here/init" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out/initrd.gz"
echo "$kdir/vmlinuz"
