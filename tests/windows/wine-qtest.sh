#!/bin/sh
# Runs a cross-built Qt Test program under Wine. QtTest writes nothing to the console there,
# so its results go to a file, printed afterwards; the exit code is the program's own.
# Wine's own output goes to a file too: the services Wine starts keep the descriptors they
# inherit open, and a held pipe would keep ctest waiting. The servers the test asks for are
# started outside Wine, by serverhost.py.
program=$1
shift
results=$(mktemp --suffix=.txt) || exit 1
log=$(mktemp) || exit 1
python3 "$(dirname "$0")/serverhost.py" ${WINE:-wine} "$program" -o "Z:$results,txt" "$@" >"$log" 2>&1
status=$?
cat "$results" "$log"
rm -f "$results" "$log"
exit $status
