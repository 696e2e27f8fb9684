#!/usr/bin/env bash
# The Windows build's programs under wine, as the mingw build's tests run
# them. Each command is one wine session on the build's own wine prefix,
# ended (wineserver -k) when the command ends.
#
#   wine_runs.sh prefix       creates the wine prefix once (about 10 s)
#   wine_runs.sh unit EXE     runs the unit-test program
#   wine_runs.sh image        k730-image.exe makes and splits a United Binary
#                             byte for byte as the Linux k730-image does
#   wine_runs.sh phone        k730dl.exe --list shows the two handsets of the
#                             Linux k730-sim in their slots, and k730dl.exe
#                             flashes their phone halves through wine COM
#                             ports linked to the simulator's pseudo-terminals
#   wine_runs.sh pda          k730dl.exe flashes a handheld of k730-sim over
#                             the TCP transport (PDA ALL)
#
# Environment: K730_WINE_PREFIX, K730_WINDOWS_BIN (k730dl.exe, k730-image.exe),
# K730_LINUX_BIN (k730-sim, k730-image of the Linux build).
set -euo pipefail

: "${K730_WINE_PREFIX:?}" "${K730_WINDOWS_BIN:?}" "${K730_LINUX_BIN:?}"
export WINEPREFIX=$K730_WINE_PREFIX
export WINEDEBUG=-all
# No browser or .NET runtime is offered to install while the prefix is made.
export WINEDLLOVERRIDES="mscoree=;mshtml="
export TZ=UTC

# wine64 alone installs no /usr/bin/wine; Debian's wine package adds it.
find_tool() {
  local candidate
  for candidate in "$@"; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}
WINE=$(find_tool /usr/lib/wine/wine64 wine64 wine) || { echo "wine64 is not installed" >&2; exit 1; }
WINESERVER=$(find_tool /usr/lib/wine/wineserver wineserver) || { echo "wineserver is not installed" >&2; exit 1; }

fail() {
  echo "wine_runs: $*" >&2
  exit 1
}

work=""
sim_pid=""
links=()
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
  for link in "${links[@]}"; do rm -f "$link"; done
  [ -n "$work" ] && rm -rf "$work"
  return 0
}
trap cleanup EXIT

need() {
  for program in "$@"; do
    [ -x "$program" ] || fail "$program is missing (build the ci preset first)"
  done
}

# Starts the Linux k730-sim with the arguments given and waits for its ready line.
start_sim() {
  need "$K730_LINUX_BIN/k730-sim"
  "$K730_LINUX_BIN/k730-sim" --port-dir "$work/ports" --dump "$work/dump" --restart-delay 50 \
    --baud 0 --usb-rate 0 "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 200); do
    grep -q ready "$work/sim.out" && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  cat "$work/sim.err" >&2
  fail "k730-sim did not start"
}

# Demo components and, where asked, the images made of them by the Linux tool.
make_components() {
  need "$K730_LINUX_BIN/k730-image"
  "$K730_LINUX_BIN/k730-image" demo-components -C "$work/c" >/dev/null
  touch -d '2024-03-05 06:07:08 UTC' "$work"/c/*
}

# bytes of file from offset to its end (offset in bytes)
tail_bytes() {
  tail -c +"$(($2 + 1))" "$1"
}

run_dl() {
  need "$K730_WINDOWS_BIN/k730dl.exe"
  local status=0
  K730_SETTINGS_FILE="$work/settings.ini" K730_LOG_DIR="$work/records" \
    K730_HANDSET_IDS="$(dirname "$0")/../../packaging/handset-ids.conf" \
    timeout 240 "$WINE" "$K730_WINDOWS_BIN/k730dl.exe" "$@" >"$work/dl.out" 2>"$work/dl.err" ||
    status=$?
  if [ "$status" != 0 ]; then
    cat "$work/dl.out" "$work/dl.err" >&2
    fail "k730dl.exe $* ended with status $status"
  fi
}

case "${1:-}" in
  prefix)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$WINE" wineboot -i >/dev/null 2>&1 || fail "wineboot could not make $WINEPREFIX"
    fi
    ;;
  unit)
    [ -n "${2:-}" ] || fail "unit needs the test program"
    K730_TIME_SCALE=0.001 "$WINE" "$2" --gtest_brief=1
    ;;
  image)
    work=$(mktemp -d)
    make_components
    need "$K730_WINDOWS_BIN/k730-image.exe"
    args=(--phone "$work/c/phone.bin" --ipl "$work/c/ipl.bin" --widebin "$work/c/demo.widebin"
      --resource "$work/c/resource.bin" --version 10 --date 24/05/01 --time 12:34:56)
    "$K730_LINUX_BIN/k730-image" make-img "${args[@]}" -o "$work/linux.img" >/dev/null
    "$WINE" "$K730_WINDOWS_BIN/k730-image.exe" make-img "${args[@]}" -o "$work/windows.img" >/dev/null
    cmp "$work/linux.img" "$work/windows.img" || fail "the United Binaries differ"
    mkdir "$work/linux" "$work/windows"
    "$K730_LINUX_BIN/k730-image" split "$work/linux.img" -C "$work/linux" >/dev/null
    "$WINE" "$K730_WINDOWS_BIN/k730-image.exe" split "$work/windows.img" -C "$work/windows" >/dev/null
    [ "$(ls "$work/windows" | wc -l)" = 4 ] || fail "split wrote $(ls "$work/windows")"
    diff -r "$work/linux" "$work/windows" || fail "the split components differ"
    ;;
  phone)
    work=$(mktemp -d)
    make_components
    export K730_TIME_SCALE=0.003
    start_sim --handsets 2 --first-port 7 --palm-dir "$work/palm"
    # COM7 and COM8 of wine lead to the simulator's port links, which follow
    # each handset to its new pseudo-terminal when it restarts.
    for n in 7 8; do
      links+=("$WINEPREFIX/dosdevices/com$n")
      ln -sfn "$work/ports/COM$n" "$WINEPREFIX/dosdevices/com$n"
    done
    # The modem driver's values last only as long as this wineserver runs.
    "$WINESERVER" -p >/dev/null 2>&1
    for d in 0 1; do
      "$WINE" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\hvcdmdm$d" \
        /d "COM$((7 + d))" /f >/dev/null
    done
    # The bench as k730dl.exe --list sees it: both ports in their slots.
    "$WINE" "$K730_WINDOWS_BIN/k730dl.exe" --list >"$work/list.out" 2>&1 ||
      { cat "$work/list.out" >&2; fail "k730dl.exe --list found a slot unusable"; }
    grep -q 'slot 0 COM7' "$work/list.out" && grep -q 'slot 1 COM8' "$work/list.out" ||
      { cat "$work/list.out" >&2; fail "k730dl.exe --list did not show COM7 and COM8 in slots 0 and 1"; }
    "$K730_LINUX_BIN/k730-image" make-img --phone "$work/c/phone.bin" --ipl "$work/c/ipl.bin" \
      --widebin "$work/c/demo.widebin" --resource "$work/c/resource.bin" \
      -o "$work/TOVA_Korvan_Release.img" >/dev/null
    # Normal on every slot; with the PDA half skipped each slot ends with its phone.
    run_dl --device pda+phone --phone-mode normal --pda-mode skip "$work/TOVA_Korvan_Release.img"
    for n in 7 8; do
      [ -f "$work/dump/phone$n.bin" ] || fail "handset COM$n was not flashed"
      cmp <(tail_bytes "$work/dump/phone$n.bin" 65536) <(tail_bytes "$work/c/phone.bin" 65536) ||
        fail "the flash of COM$n differs from the image"
    done
    grep -q '^\[slot 1\] \[PHONE:1\]Download Finish' "$work/dl.out" || fail "slot 1 did not finish"
    ;;
  pda)
    work=$(mktemp -d)
    make_components
    export K730_TIME_SCALE=0.003
    "$K730_LINUX_BIN/k730-image" make-pda --ipl "$work/c/ipl.bin" --widebin "$work/c/demo.widebin" \
      --resource "$work/c/resource.bin" -o "$work/TOVA_Korvan_Release.pda" >/dev/null
    start_sim --handsets 1 --first-port 3 --palm-tcp 0 --palm-at-start
    listing=$(sed -n 's/.*Palm devices listed on \([0-9.:]*\).*/\1/p' "$work/sim.out")
    [ -n "$listing" ] || fail "k730-sim named no listing port"
    K730_PALM_TCP=$listing run_dl --device pda --pda-mode all "$work/TOVA_Korvan_Release.pda"
    cmp "$work/dump/pda3-2.bin" "$work/c/resource.bin" || fail "the resource partition differs"
    cmp "$work/dump/pda3-0.bin" <(head -c $((0x20000)) "$work/c/demo.widebin") ||
      fail "the SmallRom partition differs"
    cmp "$work/dump/pda3-6.bin" <(tail_bytes "$work/c/demo.widebin" $((0x20000))) ||
      fail "the BigRom partition differs"
    ;;
  *)
    fail "usage: wine_runs.sh prefix|unit EXE|image|phone|pda"
    ;;
esac
