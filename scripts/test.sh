#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite: against test
# servers on ports of their own, so a running demo does not get in the way, with the demo
# key, so that signed packages are seen accepted and tampered ones refused.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset tests
cmake --build --preset tests -j"$(nproc)"
scripts/run-tests.sh tests
