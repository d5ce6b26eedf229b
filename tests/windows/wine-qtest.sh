#!/bin/sh
# Runs a cross-built Qt Test program under Wine. QtTest writes nothing to the console there,
# so its results go to a file, printed afterwards; the exit code is the program's own.
program=$1
shift
results=$(mktemp --suffix=.txt) || exit 1
wine "$program" -o "Z:$results,txt" "$@"
status=$?
cat "$results"
rm -f "$results"
exit $status
