#!/usr/bin/env bash
# Builds the download benchmark and runs it: the updater's throughput next to curl's
# on the same local server, and the updater's peak memory growth; then against Debian's nginx,
# throttled and not, next to curl and aria2c. Optional arguments: the package size in bytes
# (1 GiB by default; it needs that much free space in /tmp), and --nginx-only or --fast (the
# demo server's set alone). With --healing
# it measures instead how downloads heal: resets next to aria2c, and a resume at 90 %; with
# --mirrors, three throttled nginx servers used together next to aria2c with a Metalink file;
# with --far, nginx over a far link (a 200 ms round trip, 256 KiB windows) next to aria2c;
# with --checks, what version checks cost the nginx and PHP-FPM recipes (wrk).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/deps.sh curl aria2
if [ "${1:-}" = --checks ]; then
    scripts/deps.sh wrk php-fpm
    cmake --preset signrelease
    cmake --build --preset signrelease
    exec python3 bench/checks.py build-signrelease/signrelease
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=ON
if [ "${1:-}" = --healing ]; then
    cmake --build build-bench -j"$(nproc)" --target bench_healing
    exec build-bench/bench/bench_healing
fi
cmake --build build-bench -j"$(nproc)" --target bench_download signrelease
if [ "${1:-}" = --mirrors ]; then
    # The demo package the other figures use is not needed: a small one.
    exec build-bench/bench/bench_download --mirrors 1048576
fi
if [ "${1:-}" = --far ]; then
    exec build-bench/bench/bench_download --far 1048576
fi
build-bench/bench/bench_download "$@"
