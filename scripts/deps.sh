#!/usr/bin/env bash
# Installs the Debian packages that the Linux build, the demo and the tests need, and any
# named on the command line, if one is missing. With --only, just the named ones; with
# --update, only the package lists are brought up to date.
set -euo pipefail

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# A mirror in the middle of a sync fails an index now and then: asked again, and at last the
# lists that did come are used (an install that needs a missing one fails then, and says so).
update() {
    for attempt in 1 2 3 4 5; do
        $sudo apt-get update && return 0
        echo "apt-get update failed (attempt $attempt of 5)" >&2
        [ "$attempt" -eq 5 ] || sleep 30
    done
    echo "going on with the package lists there are" >&2
}

if [ "${1:-}" = --update ]; then
    update
    exit 0
fi

packages=(cmake g++ make qtbase5-dev qtbase5-dev-tools libssl-dev python3 fonts-wqy-microhei
          xvfb xauth xdotool wixl nginx-light php-cli)
if [ "${1:-}" = --only ]; then
    shift
    packages=()
fi
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
((${#missing[@]})) || exit 0

echo "Installing: ${missing[*]}"
update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
