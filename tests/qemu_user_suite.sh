#!/bin/sh
# Runs the black-box tests against the armhf build (32-bit ARM) under QEMU's
# user-mode emulator, on files and pseudo-terminals of this machine.
# Left out: the serial tests that call the endpoint code in-process (they
# test the native build); those that preload the stand-in line into the
# tool (an amd64 library: they stay native); and custom rates: qemu-user
# 7.2 answers the termios2 ioctls (TCGETS2, TCSETS2) with ENOSYS, so the
# tool refuses any rate outside the Bxxx table there. The ARM guests run
# the armhf build at custom rates on a real driver instead.
#
#   qemu_user_suite.sh TESTS_DIR ARMHF_VESKLO [SKIPPED_LIST]
set -eu
tests=$1
exe=$2
skipped=${3:-/dev/null}
if ! command -v qemu-arm-static >/dev/null 2>&1 || [ ! -f "$exe" ]; then
    echo "armhf suite: skipped (qemu-arm-static or the armhf build is missing)"
    echo "the armhf suite under qemu-user (qemu-user-static or the armhf build missing)" >> "$skipped"
    exit 0
fi
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
# The C library and loader of the armhf cross compiler, for a dynamic build.
export QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf
export VESKLO_RUNNER=qemu-arm-static VESKLO_EXE="$exe"
run() { sh "$(dirname "$0")/gtest_suite.sh" "$skipped" "the armhf suite" "$@"; }
status=0
run "$tests/cli_tests" --gtest_filter='-*OnWindows' || status=1
in_process=Serial.OpenAppliesTheLineSettings:Serial.BadRatesFailTheOpen
standin=Serial.CloseWaitsForTheLineAndFailsWithIt:Serial.QuietEndNeedsNoNewSettings:Serial.SignalsLeaveThePortFree:Serial.KeptSettingsAreToldNotRefused
run "$tests/serial_tests" --gtest_filter="Serial.*:-$in_process:$standin:Serial.CustomRatesReachThePort" || status=1
exit $status
