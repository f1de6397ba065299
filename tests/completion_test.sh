#!/bin/bash
# The bash completion: command letters, option prefixes, rates, and names:
# files and the ports present, over a stand-in for /dev.
set -u
script=$(readlink -f "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/dev/serial/by-id" "$work/cwd"
touch "$work/dev/ttyS0" "$work/dev/ttyS2" "$work/dev/ttyUSB0" "$work/dev/ttyACM1" \
    "$work/dev/serial/by-id/usb-FTDI-if00" "$work/cwd/prog.bin" "$work/cwd/my file.bin" \
    "$work/cwd/my*[x].bin"
cd "$work/cwd"
export VESKLO_COMPLETION_DEV="$work/dev"
. "$script"

# complete WORDS...: what completing the last word offers, sorted, joined
# by "|" on one line.
complete_words() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    _vesklo
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd'|'
}

failed=0
check() {
    local want=$1
    shift
    local got
    got=$(complete_words "$@")
    if [ "$got" != "$want" ]; then
        echo "FAIL: vesklo ${*:2}: got '$got', want '$want'"
        failed=$((failed + 1))
    fi
}

d=$work/dev
check "--help|--list|--version|c|d|e" vesklo ""
check "--list" vesklo --l
check "" vesklo --list ""
check "e" vesklo e
check "-b|-h" vesklo c -
check "-b115200|-b1200|-b19200" vesklo c -b1
check "$d/serial/by-id/usb-FTDI-if00|$d/ttyACM1|$d/ttyUSB0|COM1|COM3|my file.bin|my*[x].bin|prog.bin" vesklo c ""
check "COM1|COM3" vesklo e prog.bin CO
check "prog.bin" vesklo e pr
check "$d/ttyUSB0" vesklo d "$d/ttyU"
check "my file.bin|my*[x].bin" vesklo c my
check "my file.bin" vesklo c "my "
if [ $failed -eq 0 ]; then echo "12 passed, 0 failed"; exit 0; fi
echo "$((12 - failed)) passed, $failed failed"
exit 1
