#!/usr/bin/env bash
# Builds the benchmark program in a Release tree of its own and runs it: whole updates of
# 16 KiB, 128 KiB and 1 MiB images on both protocols through the simulated full-speed USB link
# on the real clock, with the headless toolkit and with the Qt window (offscreen platform), each
# against the bound the link and the protocol allow; the host's reaction times, the worker's
# waits on the user-interface thread, peak memory, and micro-benchmarks. About five minutes.
#   scripts/bench.sh [zentrel_bench OPTIONS]     (--help lists them)
# Environment: BENCH_BUILD_DIR (default build-bench), BENCH_JOBS (build parallelism, default:
# all cores).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=${BENCH_BUILD_DIR:-build-bench}
jobs=${BENCH_JOBS:-$(nproc)}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZENTREL_WERROR=ON >/dev/null
cmake --build "$dir" --parallel "$jobs" --target zentrel_bench
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} exec "$dir/bench/zentrel_bench" "$@"
