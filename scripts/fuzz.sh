#!/usr/bin/env bash
# Fuzzes the version record's handling with libFuzzer for FUZZ_SECONDS (60 by default),
# starting from the seed corpus in fuzz/corpus. A crash, a leak or a sanitizer report
# fails the run and leaves the input in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh clang libclang-rt-14-dev
cmake --preset fuzz
cmake --build --preset fuzz -j"$(nproc)"

# New inputs go to a scratch copy, so the kept corpus stays small.
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp fuzz/corpus/* "$corpus"/
# Full stacks through Qt, so that the suppression names the very function.
export ASAN_OPTIONS=fast_unwind_on_malloc=0
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build-fuzz/fuzz_record -max_total_time="${FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build-fuzz/ -print_final_stats=1 "$corpus"
