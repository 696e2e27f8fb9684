#!/usr/bin/env bash
# The demo bench: a generated United Binary flashed into three simulated
# handsets by the headless console, in PDA+PHONE with "[PH]Normal" and
# "[PDA]ALL", then every flash dump compared with its part of the image.
# K730_BIN names the directory of the built programs (default build/default/bin);
# missing programs are built with the default preset.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${K730_BIN:-build/default/bin}
if [ ! -x "$bin/k730dl" ] || [ ! -x "$bin/k730-sim" ] || [ ! -x "$bin/k730-image" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default -j 2 --target k730dl k730-sim k730-image
  bin=build/default/bin
fi
bin=$(cd "$bin" && pwd)

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

export K730_TIME_SCALE=${K730_TIME_SCALE:-0.001}
export K730_PORT_DIR=$work/ports K730_PALM_DIR=$work/palm
export K730_LOG_DIR=$work/records K730_SETTINGS_FILE=$work/settings.ini
mkdir -p "$K730_PORT_DIR" "$K730_PALM_DIR" "$work/dump"
cd "$work"

echo "=== Demo United Binary ==="
"$bin/k730-image" demo-components -C "$work/c"
"$bin/k730-image" make-img --phone c/phone.bin --ipl c/ipl.bin --widebin c/demo.widebin \
  --resource c/resource.bin -o TOVA_Korvan_Release.img

echo "=== k730-sim: three handsets on COM3-COM5 ==="
"$bin/k730-sim" --handsets 3 --first-port 3 --port-dir "$K730_PORT_DIR" \
  --palm-dir "$K730_PALM_DIR" --dump "$work/dump" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 200); do
  grep -q ready "$work/sim.out" && break
  sleep 0.05
done
grep -q ready "$work/sim.out" || { cat "$work/sim.out"; echo "k730-sim did not start"; exit 1; }

echo "=== k730dl: PDA+PHONE, [PH]Normal, [PDA]ALL ==="
"$bin/k730dl" --device pda+phone --phone-mode normal --pda-mode all --expect 3 --wait 20 \
  --log-dir "$work/logs" TOVA_Korvan_Release.img
echo "k730dl finished: every slot completed"

echo "=== Flash dumps against the image ==="
for n in 3 4 5; do
  # [PH]Normal writes the phone half from 0x10000 on.
  cmp <(tail -c +65537 c/phone.bin) <(tail -c +65537 "dump/phone$n.bin")
  cmp c/resource.bin "dump/pda$n-2.bin"
  cmp <(head -c 131072 c/demo.widebin) "dump/pda$n-0.bin"
  cmp <(tail -c +131073 c/demo.widebin) "dump/pda$n-6.bin"
  echo "handset COM$n: phone flash, resource, SmallRom and BigRom equal the image"
done

echo "=== Run record ==="
cat "$K730_LOG_DIR/runs.csv"
echo "Demo bench complete."
