#!/usr/bin/env bash
# Cross-builds the updater and its test suite for Windows into build-windows-tests/ and runs
# them under Wine, each in a Wine prefix of its own, inside an Xvfb of their own: the Qt Test
# programs, a read-back of the built .exe, and the real .exe end to end against the demo
# server, down to msiexec installing the package. The build is the default one, 32-bit.
set -euo pipefail
cd "$(dirname "$0")/.."

# The tests run in a 32-bit Windows, as the product's users may have: Debian's 32-bit Wine
# comes from its i386 packages.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo dpkg --add-architecture i386
fi
scripts/deps.sh --only wine wine64 wixl msitools fonts-wine fonts-wqy-microhei python3 python3-pefile \
    xvfb xauth xdotool imagemagick osslsigncode openssl
# Without it (a mirror that lacks its index), the suite runs 64-bit, as below.
scripts/deps.sh --only wine32:i386 || echo "Wine's 32-bit loader could not be installed"
# A kernel without 32-bit support (some virtual machines) cannot start Wine's 32-bit loader:
# there the suite is built 64-bit and runs in a 64-bit prefix, the same code on the same Qt.
if [ -z "${UPDATER_WINDOWS_ARCH:-}" ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "Wine's 32-bit loader does not run here: the Windows suite runs 64-bit"
    export UPDATER_WINDOWS_ARCH=x86_64
fi
# A port of its own, so that neither a running demo nor the Linux suite gets in the way.
UPDATER_WINDOWS_PRESET=windows-tests scripts/windows.sh
scripts/run-tests.sh windows-tests
