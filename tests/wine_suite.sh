#!/bin/sh
# Runs the black-box tests against the Windows build under Wine, in a
# private WINEPREFIX with one wineserver kept for the whole run.
#
# The prefix knows COM1 to COM255 the way Wine learns ports
# (HKLM\Software\Wine\Ports, read by its mount manager when the server
# starts), each with no device behind it until a test leads it to a
# pseudo-terminal of its own through the prefix's dosdevices link. So
# QueryDosDevice answers for every port, as on Windows, whatever the host
# has; and Wine, which gives each serial device of the host the lowest COM
# number left free, finds none below COM256. The links it makes for them
# are removed once the server runs, so no test can reach a serial port of
# the host. The registry keys that the tests expect are set once, when the
# prefix lacks them, and the server then starts again to read them.
set -eu
cli_tests=$1
exe=$2
skipped=${3:-/dev/null}
wine=$(command -v wine || command -v wine64 || true)
[ -x /usr/lib/wine/wine64 ] && [ -z "$wine" ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ] || [ ! -f "$exe" ]; then
    echo "windows suite: skipped (Wine or the Windows build is missing)"
    echo "the Windows suite under Wine (wine or the Windows build missing)" >> "$skipped"
    exit 0
fi
export WINEPREFIX="$(dirname "$exe")/wineprefix"
export WINEDEBUG=-all
# Names outside the ANSI code page reach Wine as UTF-8, and are taken so.
export LC_ALL=C.UTF-8
mkdir -p "$WINEPREFIX"
# A server left by an earlier run would keep its own COM links.
restart() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    wineserver -p >/dev/null 2>&1
    "$wine" wineboot -i >/dev/null 2>&1 || true
}
restart
trap "wineserver -k >/dev/null 2>&1 || true" EXIT

# The keys, as reg import takes them; kept in the prefix once imported.
keys=$WINEPREFIX/vesklo-tests.reg
{
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    n=1
    while [ $n -le 255 ]; do
        printf '"COM%d"=""\r\n' $n
        n=$((n + 1))
    done
    # Two USB adapters as Windows records them under Enum: COM7 a CH340,
    # named by its DeviceDesc alone; COM8 a port of FTDI's bus driver, whose
    # USB device holds no port of its own, named by its FriendlyName.
    enum='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum'
    ch340="$enum\\USB\\VID_1A86&PID_7523\\5&2a3b4c5d&0&2"
    ftdi="$enum\\FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000"
    printf '\r\n[%s]\r\n"DeviceDesc"="@oem12.inf,%%ch340.devicedesc%%;USB-SERIAL CH340"\r\n' "$ch340"
    printf '\r\n[%s\\Device Parameters]\r\n"PortName"="COM7"\r\n' "$ch340"
    printf '\r\n[%s\\USB\\VID_0403&PID_6001\\A50285BI]\r\n"DeviceDesc"="USB Serial Converter"\r\n' "$enum"
    printf '\r\n[%s]\r\n"DeviceDesc"="@oem13.inf,%%vcp.devicedesc%%;USB Serial Port"\r\n' "$ftdi"
    printf '"FriendlyName"="FT232R USB UART (COM8)"\r\n'
    printf '\r\n[%s\\Device Parameters]\r\n"PortName"="COM8"\r\n' "$ftdi"
} > "$keys.new"
if cmp -s "$keys.new" "$keys"; then
    rm -f "$keys.new"
else
    "$wine" reg import "Z:$(printf '%s' "$keys.new" | tr / '\\')" >/dev/null 2>&1
    mv "$keys.new" "$keys"
    restart
fi
# The mount manager adds each port to the device map once its DOS name
# leads to its device: when COM255 is listed, every port answers.
tries=0
until "$wine" reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial254' \
        >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ $tries -ge 100 ]; then
        echo "windows suite: Wine's mount manager never made the suite's COM ports" >&2
        exit 1
    fi
    sleep 0.1
done
rm -f "$WINEPREFIX"/dosdevices/com*
export VESKLO_RUNNER="$wine" VESKLO_EXE="$exe"
# The cases of the POSIX build are left out; what is skipped else is named.
run() { sh "$(dirname "$0")/gtest_suite.sh" "$skipped" "the Windows suite" "$@"; }
status=0
run "$cli_tests" --gtest_filter='-CliPosix.*' || status=1
run "$(dirname "$cli_tests")/serial_tests" --gtest_filter="WineSerial.*" || status=1
exit $status
