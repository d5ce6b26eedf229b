#!/bin/sh
# A build folder trusts one key: the configuration fails, naming both, when a publisher's key
# meets the demo key, given at once or one of them cached from before.
#   configure_keys.sh SOURCE_DIR WORK_DIR
set -u
source=$1 work=$2
key=+0jMTy6qxGTeFkUuyAqT4yUEPRk9kXmdezCIJRzur0M=
failed=0
check() { # name, first configuration (or -), second configuration
    name=$1 first=$2 second=$3
    rm -rf "$work"
    if [ "$first" != - ] && ! cmake -S "$source" -B "$work" -DUPDATER_BUILD_TESTS=OFF $first >/dev/null 2>&1; then
        echo "FAIL $name: the first configuration failed"
        failed=1
        return
    fi
    if output=$(cmake -S "$source" -B "$work" -DUPDATER_BUILD_TESTS=OFF $second 2>&1); then
        echo "FAIL $name: configured with both keys"
        failed=1
    elif ! printf '%s' "$output" | tr -s ' \n' '  ' | grep -q "UPDATE_PUBLIC_KEY ($key) is given while UPDATER_DEMO_KEY is ON"; then
        echo "FAIL $name: the failure does not name both"
        printf '%s\n' "$output"
        failed=1
    else
        echo "PASS $name"
    fi
}
check "both at once" - "-DUPDATER_DEMO_KEY=ON -DUPDATE_PUBLIC_KEY=$key"
check "demo cached, key given" "-DUPDATER_DEMO_KEY=ON" "-DUPDATE_PUBLIC_KEY=$key"
check "key cached, demo given" "-DUPDATE_PUBLIC_KEY=$key" "-DUPDATER_DEMO_KEY=ON"
rm -rf "$work"
exit $failed
