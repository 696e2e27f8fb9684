#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and fuzzes each for K730_FUZZ_SECONDS seconds
# (default 20) on a copy of its seed corpus in build/fuzz/corpus-work/, so the
# corpus in the repository stays as committed. Prints the executions and the
# final corpus of each target; exits 1 when any target failed, naming the
# input that made it fail (kept in build/fuzz/crashes/<target>/).
#
#   scripts/fuzz.sh                   every target
#   scripts/fuzz.sh phone_reply ...   only these
#
# fuzz/dict/<target>.dict, where present, gives libFuzzer the target's tokens.
# A failing input belongs in fuzz/corpus/<target>/ once its fault is fixed:
# the replay tests (tests/fuzz) then run it with every test run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${K730_FUZZ_SECONDS:-20}
# target:max_len; the lengths cover every structure the target reads (a
# United Binary's header and entries, a reply past the 1,024-byte buffer,
# a few dozen 30-byte requests, a name past its 259-character cut).
all_targets=(
  image_header:4096
  phone_trailer:4096
  phone_reply:4097
  mode_switch_reply:4002
  pda_response:2048
  host_file_service:3000
  device_interface_name:400
  settings_file:2048
  image_info_verify:4096
)

selected=()
if [ $# -gt 0 ]; then
  for want in "$@"; do
    found=
    for entry in "${all_targets[@]}"; do
      [ "${entry%%:*}" = "$want" ] && { selected+=("$entry"); found=1; }
    done
    [ -n "$found" ] || { echo "fuzz.sh: unknown target $want" >&2; exit 2; }
  done
else
  selected=("${all_targets[@]}")
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

build=build/fuzz
work=$build/corpus-work
crashes=$build/crashes
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
summary=()
for entry in "${selected[@]}"; do
  target=${entry%%:*}
  max_len=${entry##*:}
  rm -rf "${work:?}/$target" "${crashes:?}/$target"
  mkdir -p "$work/$target" "$crashes/$target"
  cp fuzz/corpus/"$target"/* "$work/$target/"
  log=$build/$target.log
  echo "=== $target: ${seconds}s, max_len $max_len ==="
  dict=()
  [ -f "fuzz/dict/$target.dict" ] && dict=(-dict="fuzz/dict/$target.dict")
  # The targets' scratch files, in memory where the system has it.
  scratch_base=/tmp
  [ -d /dev/shm ] && [ -w /dev/shm ] && scratch_base=/dev/shm
  scratch=$(mktemp -d "$scratch_base/k730-fuzz-$target-XXXXXX")
  status=0
  K730_FUZZ_TMPDIR=$scratch "$build/bin/${target}_fuzzer" -max_total_time="$seconds" \
    -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/$target/" "${dict[@]}" \
    "$work/$target" >"$log" 2>&1 || status=$?
  rm -rf "$scratch"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  corpus=$( (grep -o 'DONE .*corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" || true) | tail -n 1 | sed 's/.*corp: //')
  files=$(find "$work/$target" -type f | wc -l)
  bytes=$(find "$work/$target" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  if [ "$status" -ne 0 ]; then
    failed=1
    tail -n 40 "$log"
    artifact=$(sed -n 's/.*Test unit written to //p' "$log" | tail -n 1)
    echo "FAILED: $target (exit $status); input: ${artifact:-see $log}"
    summary+=("$(printf '%-22s FAILED  input %s' "$target" "${artifact:-?}")")
  else
    summary+=("$(printf '%-22s %10s execs  corpus %s (%d files, %d bytes)' \
      "$target" "${execs:-?}" "${corpus:-?}" "$files" "$bytes")")
  fi
done

echo "=== fuzz summary (${seconds}s per target) ==="
printf '%s\n' "${summary[@]}"
exit "$failed"
