#!/bin/sh
# A build folder trusts one key: a publisher's key given where the demo key is cached, or the
# other way round, fails the configuration with a message that names both.
#   configure_keys.sh SOURCE_DIR WORK_DIR
set -u
source=$1 work=$2
key=+0jMTy6qxGTeFkUuyAqT4yUEPRk9kXmdezCIJRzur0M=
failed=0
for row in "-DUPDATER_DEMO_KEY=ON|-DUPDATE_PUBLIC_KEY=$key" "-DUPDATE_PUBLIC_KEY=$key|-DUPDATER_DEMO_KEY=ON"; do
    rm -rf "$work"
    cmake -S "$source" -B "$work" -DUPDATER_BUILD_TESTS=OFF "${row%|*}" >/dev/null 2>&1 || { echo "FAIL $row: the first"; failed=1; }
    output=$(cmake -S "$source" -B "$work" "${row#*|}" 2>&1) && { echo "FAIL $row: configured"; failed=1; }
    printf '%s' "$output" | tr -s ' \n' '  ' | grep -q "UPDATE_PUBLIC_KEY ($key) is given while UPDATER_DEMO_KEY is ON" \
        || { echo "FAIL $row: the failure names not both"; failed=1; }
done
rm -rf "$work"
exit $failed
