#!/usr/bin/env bash
# Sets up, builds the tool for a copy of the sample device tree, runs it there
# and shows what changed in each configuration file.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
tree="$PWD/build-demo/device"
rm -rf "$tree"
mkdir -p "$tree"
cp -R examples/device/. "$tree"
cmake -S . -B build-demo -DBUILD_TESTING=OFF -DUPDATE_CFG_ROOT="$tree" >/dev/null
cmake --build build-demo -j"$(nproc)" >/dev/null

echo "== update.cfg"
cat "$tree/mnt/mtd/app/update.cfg"
echo "== update_cfg prints"
build-demo/update_cfg/update_cfg
for f in mnt/mtd/app/config.xml mnt/mtd/app/config.xml.default config/config.xml.default; do
  echo "== /$f"
  diff -u --label "before" --label "after" "examples/device/$f" "$tree/$f" || true
done
if [ -e "$tree/mnt/mtd/app/update.cfg" ]; then
  echo "== update.cfg kept for the next run"
else
  echo "== update.cfg consumed"
fi
