#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each one for a bounded time on a copy of its seed
# corpus, printing the executions it reached; fails on any crash, broken invariant, time-out or
# memory blow-up. Environment: FUZZ_SECONDS (per fuzzer, default 60), FUZZ_BUILD_DIR (default
# build-fuzz), FUZZ_JOBS (build parallelism, default: all cores). Inputs that fail are kept in
# fuzz/crashes/ for reproduction: build-fuzz/fuzz/FUZZER fuzz/crashes/FILE
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-$(nproc)}
fuzzers=(fuzz_firmware_file fuzz_stream_messages fuzz_frame_replies)

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZENTREL_FUZZ=ON -DZENTREL_WITH_QT=OFF -DZENTREL_WITH_LINUX_HID=OFF -DBUILD_TESTING=OFF \
  -DZENTREL_WERROR=ON >/dev/null
cmake --build "$dir" --parallel "$jobs" --target fuzzers

# Symbolised stacks in the reports.
if ! command -v llvm-symbolizer >/dev/null && [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
  export PATH=/usr/lib/llvm-14/bin:$PATH
fi

crashes=fuzz/crashes
run="$dir/fuzz-run"
mkdir -p "$crashes"
rm -rf "$run"
mkdir -p "$run"

# One value of libFuzzer's final statistics (-print_final_stats=1): final_stat NAME LOG
final_stat() { awk -v key="stat::$1:" '$1 == key { print $2 }' "$2" | tail -n 1; }

failed=0
for fuzzer in "${fuzzers[@]}"; do
  corpus="$run/$fuzzer-corpus"
  log="$run/$fuzzer.log"
  mkdir -p "$corpus"
  # New inputs go to the copy; the committed seeds stay as they are.
  cp fuzz/corpus/"$fuzzer"/* "$corpus"/
  # -detect_leaks=0: the application's threads free some objects after an input has returned,
  # which the per-input leak check would take for leaks and then run every input twice.
  status=0
  "$dir/fuzz/$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 \
    -rss_limit_mb=2048 -detect_leaks=0 -artifact_prefix="$crashes/$fuzzer-" \
    "$corpus" >"$log" 2>&1 || status=$?
  executions=$(final_stat number_of_executed_units "$log")
  rate=$(final_stat average_exec_per_sec "$log")
  added=$(final_stat new_units_added "$log")
  rss=$(final_stat peak_rss_mb "$log")
  if [ "$status" -eq 0 ] && [ -n "$executions" ]; then
    echo "$fuzzer: ${executions} executions in ${seconds} s (${rate}/s), ${added} new inputs," \
      "peak RSS ${rss} MB, no crash"
  else
    failed=1
    echo "$fuzzer: FAILED (exit status $status) after ${executions:-?} executions; log: $log"
    grep -E "ERROR|FUZZ CHECK|SUMMARY|Test unit written|^    #[0-9]+ " "$log" | head -n 40 || true
  fi
done
exit "$failed"
