#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build, then the test suite
# under AddressSanitizer with UndefinedBehaviorSanitizer, then under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
run_tests() {
  ctest --test-dir "$1" --output-on-failure --timeout 300 -j "$(nproc)"
}

echo "== format =="
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== build and test =="
bash scripts/build.sh build
run_tests build

if [ "${ZENTREL_SKIP_GUEST:-0}" != 1 ]; then
  echo "== guest: the kernel's HID stack under QEMU (TCG) =="
  bash tests/guest/run-guest.sh --binary build/tests/guest/zentrel_guest_tests
fi

if [ "${ZENTREL_SKIP_SANITIZERS:-0}" != 1 ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
  bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DZENTREL_WITH_QT=OFF \
    -DZENTREL_SANITIZE=address,undefined
  run_tests build-asan

  echo "== ThreadSanitizer =="
  bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENTREL_WITH_QT=OFF \
    -DZENTREL_SANITIZE=thread
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_tests build-tsan
fi

if [ "${ZENTREL_SKIP_FUZZ:-0}" != 1 ]; then
  echo "== Fuzzers =="
  bash scripts/fuzz.sh
fi
