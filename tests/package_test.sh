#!/bin/sh
# The shipped packages as a user gets them: the Debian package installs
# (as root), its vesklo runs an encode/decode round trip, its man page
# renders with the version, bash completes port names from it, and it is
# removed again; the Windows zip holds the exe, which carries its version.
set -eu
build=$(cd "$1" && pwd)
winbuild=$(cd "$2" 2>/dev/null && pwd || echo "$2")
version=$(sed -n 's/^project(vesklo VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
deb=$build/vesklo_${version}_amd64.deb
work=$(mktemp -d)
trap 'dpkg -r vesklo >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

dpkg -i "$deb" >/dev/null
cd "$work"
head -c 5000 /dev/urandom > data
/usr/bin/vesklo e data data.hs -h100 > /dev/null
/usr/bin/vesklo d data.hs back > /dev/null
tail -c +5 back | cmp - data
echo "package: installed vesklo round trip exact"
man -P cat vesklo 2>/dev/null | grep -q "vesklo $version" || { echo "package: man page missing or unversioned"; exit 1; }
echo "package: man vesklo renders, version $version"
mkdir -p dev && touch dev/ttyS0 dev/ttyUSB0
ports=$(VESKLO_COMPLETION_DEV=$work/dev bash -c '
    . /usr/share/bash-completion/completions/vesklo
    COMP_WORDS=(vesklo c ""); COMP_CWORD=2; _vesklo; echo "${COMPREPLY[*]}"')
case $ports in *COM1*"$work/dev/ttyUSB0"* | *"$work/dev/ttyUSB0"*COM1*) ;;
*) echo "package: completion offered '$ports'"; exit 1 ;; esac
echo "package: bash completes COM1 and $work/dev/ttyUSB0"
dpkg -r vesklo >/dev/null
[ ! -e /usr/bin/vesklo ] || { echo "package: vesklo left after removal"; exit 1; }
echo "package: removed"

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
    echo "package: 5 passed, 0 failed"
else
    echo "package: 4 passed, 0 failed (no Windows zip to check)"
fi
