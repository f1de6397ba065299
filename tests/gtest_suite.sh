#!/bin/sh
# Runs one test program, or ctest in a build folder, with its output shown,
# and adds the names of the cases it skipped to the list of what was
# skipped: here the cases that need root (a run as another user, a
# namespace, a hang-up). Exits with the tests' status.
#
#   gtest_suite.sh SKIPPED_LIST WHAT COMMAND [ARG...]
#
# WHAT names the suite in the list ("the native suite").
set -u
skipped=$1
what=$2
shift 2
log=$(mktemp)
"$@" > "$log" 2>&1
status=$?
cat "$log"
# ctest marks a skipped case "***Skipped"; a test program lists each as
# "[  SKIPPED ] Name" at its end, and shows the reason under "Skipped" as it
# goes. A case of the generic POSIX build whose reason begins "Linux only:"
# skips by design, whoever runs it: it is not listed.
by_design=$(awk '/: Skipped$/ { getline why; next }
                 /^\[  SKIPPED \] [A-Za-z_0-9]*\.[A-Za-z_0-9]* \(/ { if (why ~ /^Linux only: /) print $4; why = "" }' "$log")
names=$(sed -n -e 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*Skipped.*/\1/p' \
               -e 's/^\[  SKIPPED \] \([A-Za-z_0-9]*\.[A-Za-z_0-9]*\).*/\1/p' "$log" | sort -u |
        grep -vxF -e "${by_design:-(none)}" | paste -sd, - | sed 's/,/, /g')
[ -z "$names" ] || echo "in $what, the cases $names (they need root)" >> "$skipped"
rm -f "$log"
exit $status
