#!/usr/bin/env bash
# Builds and runs the benchmark (bench/run.py); --smoke for a run of a few
# seconds on the smallest sizes.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
missing=()
for p in python3 xmlstarlet time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target update_cfg_rooted bench_floor
/usr/bin/python3 bench/run.py build-bench "$@"
