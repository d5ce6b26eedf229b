#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
# The end-to-end test drives the real window, so the suite runs inside its own Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
# A port of its own, so a running demo does not get in the way; the demo key, so the
# end-to-end test can see signed packages accepted and tampered ones refused.
cmake -S . -B build-tests -DUPDATE_SERVER=http://127.0.0.1:18765 -DUPDATE_PUBLIC_KEY="$(cat demo/demo-key.pub)" \
    -DUPDATER_BUILD_TESTS=ON
cmake --build build-tests -j"$(nproc)"
xvfb-run -a -s "-screen 0 1280x800x24 -noreset" \
    ctest --test-dir build-tests --output-on-failure -j"$(nproc)"
