#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the CI build
# (warnings are errors), AddressSanitizer+UndefinedBehaviorSanitizer,
# ThreadSanitizer and the Windows cross build (mingw-w64, its tests under
# wine against the CI build's simulator), then a short libFuzzer run of every
# fuzz target (K730_FUZZ_SECONDS each, default 5; 0 skips it).
# K730_PRESETS="ci" limits the run to some of the presets (mingw needs ci).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

started=$SECONDS
stage() { echo "=== $1 ($((SECONDS - started)) s since start) ==="; }

presets=${K730_PRESETS:-"ci asan tsan mingw"}
for preset in $presets; do
  stage "$preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
  stage "$preset: test"
  ctest --preset "$preset"
done

fuzz_seconds=${K730_FUZZ_SECONDS:-5}
if [ "$fuzz_seconds" != 0 ]; then
  stage "fuzz: ${fuzz_seconds} s per target"
  K730_FUZZ_SECONDS=$fuzz_seconds ./scripts/fuzz.sh
fi
stage "all tests passed"
