#!/bin/sh
# Runs the black-box tests against the Windows build under Wine, in a
# private WINEPREFIX with one wineserver kept for the whole run. Wine maps
# COM1..COMn to the host's /dev/ttyS* when its server starts; those links
# are removed once it runs, so no test can reach a serial port of the host.
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
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1
trap "wineserver -k >/dev/null 2>&1 || true" EXIT
"$wine" wineboot -i >/dev/null 2>&1 || true
rm -f "$WINEPREFIX"/dosdevices/com*
export VESKLO_RUNNER="$wine" VESKLO_EXE="$exe"
# The cases of the POSIX build are left out; what is skipped else is named.
run() { sh "$(dirname "$0")/gtest_suite.sh" "$skipped" "the Windows suite" "$@"; }
status=0
run "$cli_tests" --gtest_filter='-CliPosix.*' || status=1
run "$(dirname "$cli_tests")/serial_tests" --gtest_filter="WineSerial.*" || status=1
exit $status
