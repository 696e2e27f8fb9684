#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the CI build
# (warnings are errors), AddressSanitizer+UndefinedBehaviorSanitizer and
# ThreadSanitizer. K730_PRESETS="ci" limits the run to some of them.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

presets=${K730_PRESETS:-"ci asan tsan"}
for preset in $presets; do
  echo "=== $preset: configure and build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
  echo "=== $preset: test ==="
  ctest --preset "$preset"
done
