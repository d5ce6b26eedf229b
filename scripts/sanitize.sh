#!/usr/bin/env bash
# The whole test suite once more, built with AddressSanitizer and UndefinedBehaviorSanitizer;
# any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
    -DUPDATE_SERVER=http://127.0.0.1:18766 -DUPDATE_PUBLIC_KEY="$(cat demo/demo-key.pub)" -DUPDATER_BUILD_TESTS=ON
cmake --build build-asan -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
# The X windows need no OpenGL; where Mesa is installed (Wine brings it), its GLX driver keeps
# allocations that LeakSanitizer reports once the driver is unloaded, beyond any suppression.
export QT_XCB_GL_INTEGRATION=none
xvfb-run -a -s "-screen 0 1280x800x24 -noreset" \
    ctest --test-dir build-asan --output-on-failure -j"$(nproc)"
