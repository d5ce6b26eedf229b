#!/usr/bin/env bash
# Cross-builds the updater and its test suite for Windows into build-windows-tests/ and runs
# them under Wine, each in a Wine prefix of its own, inside an Xvfb of their own: the Qt Test
# programs, a read-back of the built .exe, and the real .exe end to end against the demo
# server, down to msiexec installing the package.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --only wine wine64 wixl msitools fonts-wine fonts-wqy-microhei python3 python3-pefile \
    xvfb xauth xdotool imagemagick
# A port of its own, so that neither a running demo nor the Linux suite gets in the way.
UPDATER_WINDOWS_BUILD=build-windows-tests scripts/windows.sh \
    -DUPDATE_SERVER=http://127.0.0.1:18767 -DUPDATE_PUBLIC_KEY="$(cat demo/demo-key.pub)" \
    -DUPDATER_BUILD_TESTS=ON -DPython3_EXECUTABLE=/usr/bin/python3
xvfb-run -a -s "-screen 0 1280x800x24 -noreset" \
    ctest --test-dir build-windows-tests --output-on-failure -j"$(nproc)"
