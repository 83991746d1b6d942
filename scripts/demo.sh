#!/usr/bin/env bash
# The main job: installs, builds and runs the updater against a simulated controller with a
# generated sample firmware. In a window where a display is available, unattended otherwise.
# Extra arguments go to zentrel-update-sim (for example --controller stream).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build >/dev/null
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/programs/zentrel-update-sim "$@"
else
  exec build/programs/zentrel-update-sim --auto "$@"
fi
