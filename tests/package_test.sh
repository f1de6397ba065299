#!/bin/sh
# The shipped packages as a user gets them: the Debian package installs
# (as root), its vesklo runs an encode/decode round trip, its man page
# renders with the version, bash completes port names from it, and it is
# removed again; the Windows zip holds the exe, which carries its version;
# the ARM packages are tried as far as this machine can (see check_arm).
#
#   package_test.sh BUILD WINDOWS_BUILD [ARM_BUILD...]
set -eu
build=$(cd "$1" && pwd)
winbuild=$(cd "$2" 2>/dev/null && pwd || echo "$2")
shift 2
for armbuild; do shift; set -- "$@" "$(cd "$armbuild" 2>/dev/null && pwd || echo "$armbuild")"; done
version=$(sed -n 's/^project(vesklo VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
deb=$build/vesklo_${version}_amd64.deb
work=$(mktemp -d)
trap 'dpkg -r vesklo >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

passed=0
ok() {
    echo "package: $1"
    passed=$((passed + 1))
}

# lintian's findings on a package, less its note on running as root.
lintian_clean() {
    findings=$(lintian "$1" 2>/dev/null) || true
    [ -z "$findings" ] || { echo "package: lintian on $1:"; echo "$findings"; exit 1; }
}

lintian_clean "$deb"
ok "lintian finds nothing in $(basename "$deb")"
dpkg -i "$deb" >/dev/null
cd "$work"
head -c 5000 /dev/urandom > data
/usr/bin/vesklo e data data.hs -h100 > /dev/null
/usr/bin/vesklo d data.hs back > /dev/null
tail -c +5 back | cmp - data
ok "installed vesklo round trip exact"
man -P cat vesklo 2>/dev/null | grep -q "vesklo $version" || { echo "package: man page missing or unversioned"; exit 1; }
ok "man vesklo renders, version $version"
mkdir -p dev && touch dev/ttyS0 dev/ttyUSB0
ports=$(VESKLO_COMPLETION_DEV=$work/dev bash -c '
    . /usr/share/bash-completion/completions/vesklo
    COMP_WORDS=(vesklo c ""); COMP_CWORD=2; _vesklo; echo "${COMPREPLY[*]}"')
case $ports in *COM1*"$work/dev/ttyUSB0"* | *"$work/dev/ttyUSB0"*COM1*) ;;
*) echo "package: completion offered '$ports'"; exit 1 ;; esac
ok "bash completes COM1 and $work/dev/ttyUSB0"
dpkg -r vesklo >/dev/null
[ ! -e /usr/bin/vesklo ] || { echo "package: vesklo left after removal"; exit 1; }
ok "removed"

zip=$winbuild/vesklo-$version-win64.zip
if [ -f "$zip" ]; then
    python3 - "$zip" "$version" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
exe = zipfile.ZipFile(sys.argv[1]).read("vesklo.exe")
# The key, its NUL, perhaps a NUL of padding, then the value (UTF-16).
wants = [("ProductVersion" + pad + sys.argv[2]).encode("utf-16-le") for pad in ("\0", "\0\0")]
for n in ("vesklo.exe", "README.txt", "vesklo.txt"):
    assert n in names, n
assert any(w in exe for w in wants), "no version resource"
print("package: zip holds", " ".join(sorted(names)) + "; exe version", sys.argv[2])
PY
    passed=$((passed + 1))
else
    echo "package: no Windows zip to check"
fi

# An ARM package, on a machine that cannot install it: labelled with its
# architecture, holding the files of the amd64 package, its vesklo built
# for the ARM machine it names (armhf: hard-float ARMv7), a C library at
# least as new as the newest symbol version vesklo uses, lintian clean, and
# its vesklo running an encode/decode round trip under QEMU's user-mode
# emulator where that is installed.
check_arm() {
    arch=$1 machine=$2 triplet=$3 qemu=$4
    arm=$work/$arch
    armdeb=$arm/vesklo_${version}_$arch.deb
    [ "$(dpkg-deb -f "$armdeb" Architecture)" = "$arch" ] ||
        { echo "package: $armdeb is labelled $(dpkg-deb -f "$armdeb" Architecture)"; exit 1; }
    dpkg-deb -c "$armdeb" | awk '{print $6}' > "$arm.files"
    dpkg-deb -c "$deb" | awk '{print $6}' | cmp -s - "$arm.files" ||
        { echo "package: $armdeb holds other files than $deb"; exit 1; }
    dpkg-deb -x "$armdeb" "$arm/root"
    bin=$arm/root/usr/bin/vesklo
    readelf -h "$bin" | grep -q "Machine: *$machine\$" || { echo "package: $bin is no $machine binary"; exit 1; }
    [ "$arch" != armhf ] || readelf -h "$bin" | grep -q "hard-float" ||
        { echo "package: $bin is not hard-float"; exit 1; }
    needs=$(readelf --dyn-syms -W "$bin" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n 1)
    depends=$(dpkg-deb -f "$armdeb" Depends)
    stated=$(echo "$depends" | sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p')
    [ -n "$stated" ] && dpkg --compare-versions "$stated" ge "$needs" ||
        { echo "package: $armdeb depends on '$depends'; its vesklo needs GLIBC_$needs"; exit 1; }
    lintian_clean "$armdeb"
    ok "$arch: labelled $arch, the files of the amd64 package, a $machine binary, Depends $depends (needs $needs), lintian clean"
    if command -v "$qemu" >/dev/null 2>&1; then
        (cd "$work" && QEMU_LD_PREFIX=/usr/$triplet "$qemu" "$bin" e data "$arch.hs" -h100 > /dev/null &&
            QEMU_LD_PREFIX=/usr/$triplet "$qemu" "$bin" d "$arch.hs" "$arch.back" > /dev/null &&
            tail -c +5 "$arch.back" | cmp - data)
        ok "$arch: its vesklo round trip exact under $qemu"
    else
        echo "package: $arch: $qemu missing, its vesklo not run"
    fi
}

for armbuild in "$@"; do
    for armdeb in "$armbuild"/vesklo_"$version"_*.deb; do
        [ -f "$armdeb" ] || { echo "package: no package in $armbuild"; continue; }
        arch=${armdeb##*_}
        arch=${arch%.deb}
        mkdir -p "$work/$arch"
        cp "$armdeb" "$work/$arch/"
        case $arch in
        arm64) check_arm arm64 AArch64 aarch64-linux-gnu qemu-aarch64-static ;;
        armhf) check_arm armhf ARM arm-linux-gnueabihf qemu-arm-static ;;
        *) echo "package: $armdeb: no checks for $arch"; exit 1 ;;
        esac
    done
done
echo "package: $passed passed, 0 failed"
