#!/usr/bin/env bash
# The whole test suite once more, built with AddressSanitizer and UndefinedBehaviorSanitizer;
# any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset asan
cmake --build --preset asan -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
# The X windows need no OpenGL; where Mesa is installed (Wine brings it), its GLX driver keeps
# allocations that LeakSanitizer reports once the driver is unloaded, beyond any suppression.
export QT_XCB_GL_INTEGRATION=none
scripts/run-tests.sh asan
