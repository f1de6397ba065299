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
# "[  SKIPPED ] Name" at its end.
names=$(sed -n -e 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*Skipped.*/\1/p' \
               -e 's/^\[  SKIPPED \] \([A-Za-z_0-9]*\.[A-Za-z_0-9]*\).*/\1/p' "$log" | sort -u |
        paste -sd, - | sed 's/,/, /g')
[ -z "$names" ] || echo "in $what, the cases $names (they need root)" >> "$skipped"
rm -f "$log"
exit $status
