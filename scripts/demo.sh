#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j 2

bin=build/default/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "=== Generating demo components in $work ==="
"$bin/k730-image" demo-components -C "$work"
echo "=== make-img ==="
"$bin/k730-image" make-img --phone "$work/phone.bin" --ipl "$work/ipl.bin" \
  --widebin "$work/demo.widebin" --resource "$work/resource.bin" -o "$work/TOVA_Korvan_Release.img"
echo "=== info --verify ==="
"$bin/k730-image" info "$work/TOVA_Korvan_Release.img" --verify
echo "=== split ==="
mkdir -p "$work/split"
"$bin/k730-image" split "$work/TOVA_Korvan_Release.img" -C "$work/split"
for pair in "phone.bin TOVA_Phone.bin" "ipl.bin TOVA_IPL.bin" \
            "demo.widebin TOVA_Korvan_Release.widebin" "resource.bin TOVA_Resource.bin"; do
  set -- $pair
  cmp "$work/$1" "$work/split/$2"
  echo "$2 equals $1"
done
echo "Demo complete."
