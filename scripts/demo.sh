#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the demo bench.
# With a display it opens the console window on three simulated handsets
# (press "&Go" and watch them flash); without one it runs the same bench
# headless with k730dl and checks that every flash dump equals the image.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j 2

bin=build/default/bin
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${K730_HEADLESS:-}" ]; then
  exec "$bin/k730-downloader" --demo
fi
K730_BIN="$bin" exec ./scripts/demo-bench.sh
