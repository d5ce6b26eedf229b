#!/usr/bin/env bash
# Runs a test preset's suite (tests, asan, windows-tests) in an Xvfb of its own: the
# end-to-end tests drive the real window.
set -euo pipefail
cd "$(dirname "$0")/.."
xvfb-run -a -s "-screen 0 1280x800x24 -noreset" ctest --preset "$1" -j"$(nproc)"
