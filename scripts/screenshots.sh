#!/usr/bin/env bash
# Remakes the window's screenshots in docs/screenshots (English and Chinese, idle and at the
# end of an update) from the Qt window tests under the offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh build >/dev/null
QT_QPA_PLATFORM=offscreen ZENTREL_SCREENSHOT_DIR="$PWD/docs/screenshots" build/tests/qt/zentrel_qt_tests
ls -l docs/screenshots
