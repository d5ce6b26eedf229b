#!/usr/bin/env bash
# Installs the Debian packages that the Linux build, the demo and the tests need, and any
# named on the command line, if one is missing. With --only, just the named ones.
set -euo pipefail

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

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "Installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
